#!/usr/bin/env bash
# The one-shot POSIX host on this machine's real drives: a warning entry with
# the whole report, an information entry with the drive lines alone, and a
# settings error that writes no entry.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init watch_once
bin="$native_bin/QuotawardenService"
qw_need "$bin"
mkdir -p "$work/dosdevices" "$work/data"
ln -s / "$work/dosdevices/c:"
ln -s "$work/data" "$work/dosdevices/d:"

# C: below a 99% threshold, D: above a 1MB one.
printf '[WARNING]\r\nINTERVAL=24\r\n[DRIVE]\r\nC=99%%\r\nD=1MB\r\n' >"$work/Drivewarden.ini"
# The free space of both drives is read just before and just after the run:
# other tests write to the same disks meanwhile, so the report must lie
# between.
free_of() { echo $(($(stat -f -c '%a * %S' "$1"))); }
free_of / >"$work/free_c.txt"
free_of "$work/data" >"$work/free_d.txt"
"$bin" --once --windir="$work" --eventlog="$work/warn.json"
free_of / >>"$work/free_c.txt"
free_of "$work/data" >>"$work/free_d.txt"

# No thresholds at all: the entry says so.
printf '[WARNING]\r\nINTERVAL=24\r\n' >"$work/Drivewarden.ini"
QUOTAWARDEN_EVENTLOG="$work/info.json" "$bin" --once --windir="$work"

# A bad interval: exit 1, the error on stderr and in one error entry.
printf '[WARNING]\r\nINTERVAL=abc\r\n' >"$work/Drivewarden.ini"
set +e
"$bin" --once --windir="$work" --eventlog="$work/bad.json" 2>"$work/bad.err"
rc=$?
set -e
[ "$rc" -eq 1 ] || fail "bad interval: exit $rc"

qw_py checks/watch_once "$work"
