#!/usr/bin/env bash
# The one-shot host's forecast on a folder of this machine, against an
# aiosmtpd server: a prepared history that fills warns and mails the
# forecast; the same history rising does not (forecast_posix.py). The folder
# is a tmpfs of its own in a mount namespace of this script's (root), so that
# what other tests write meanwhile does not move its free space.
if [ -z "${QW_FORECAST_NS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "forecast_posix: needs root to mount" >&2; exit 1; }
  exec unshare -m --propagation private env QW_FORECAST_NS=1 bash "$0" "$@"
fi
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init forecast_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService"
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || fail "python3-aiosmtpd is missing"
mkdir -p "$work/dosdevices" "$work/data" "$work/metrics"
mount -t tmpfs -o size=8g quotawarden-forecast "$work/data"
qw_on_exit 'umount -l "$work/data" 2>/dev/null || true'
ln -s "$work/data" "$work/dosdevices/d:"
qw_py forecast_posix "$work"
