#!/usr/bin/env bash
# The one-shot host's forecast on a folder of this machine, against an
# aiosmtpd server: a prepared history that fills warns and mails the
# forecast; the same history rising does not (forecast_posix.py).
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init forecast_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService"
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || fail "python3-aiosmtpd is missing"
mkdir -p "$work/dosdevices" "$work/data" "$work/metrics"
ln -s "$work/data" "$work/dosdevices/d:"
qw_py forecast_posix "$work"
