#!/usr/bin/env bash
# The forecast of the foreground host on a volume that fills for real: a
# 64 MB tmpfs, watched by its [VOLUME] key, filled by the test at a steady
# rate while the host samples every second on a clock running 10,800 times
# as fast (a second is three hours); the forecast warning and its mail come
# before the threshold is crossed, and --history prints what was kept
# (forecast_fill_posix.py). The tmpfs is mounted in a mount namespace of
# this script's (root), so that nothing else sees or fills it.
if [ -z "${QW_FORECAST_FILL_NS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "forecast_fill_posix: needs root to mount" >&2; exit 1; }
  exec unshare -m --propagation private env QW_FORECAST_FILL_NS=1 bash "$0" "$@"
fi
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init forecast_fill_posix
qw_need "$native_bin/QuotawardenService"
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || fail "python3-aiosmtpd is missing"
mkdir -p "$work/data"
mount -t tmpfs -o size=64m quotawarden-fill "$work/data"
qw_on_exit 'umount -l "$work/data" 2>/dev/null || true'
qw_py forecast_fill_posix "$work"
