#!/usr/bin/env bash
# An alert that a greylisting server (aiosmtpd) accepts for one recipient and
# refuses with 450 for the other: the foreground host keeps the refused
# recipient pending (status.ini names it), retries on the retry timer (the
# first retry shortened with --retry-first) for that recipient alone, and
# nobody gets the alert twice.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init partial_delivery_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService"
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || fail "python3-aiosmtpd is missing"
QW_FAIL_SHOW="$work/events.json $work/host.err $work/server.log $work/envelopes.json $work/status.ini"
messages() { [ -f "$work/envelopes.json" ] && wc -l <"$work/envelopes.json" || echo 0; }

qw_spawn "$work/server.log" /usr/bin/python3 tests/e2e/greylist_server.py --greylist a@example.jp \
  --log "$work/envelopes.json" --port-file "$work/port"
qw_wait_file "$work/port" 10 || fail "the server did not start"
port=$(cat "$work/port")

# C is short (99 % free wanted); the alert goes to a and b.
printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=b@example.jp, a@example.jp\r\n' \
  "$port" >"$work/Drivewarden.ini"
"$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/events.json" --retry-first=2 \
  --mail-timeout=5 --mail-deadline=10 2>"$work/host.err" &
host_pid=$!
qw_on_exit '[ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid"'

at_least() { [ "$(messages)" -ge "$1" ]; }
qw_wait_for 10 at_least 1 || true
[ "$(messages)" -ge 1 ] || fail "the first attempt delivered nothing"
qw_wait_for 5 grep -q '^RECIPIENTS=' "$work/status.ini" 2>/dev/null || true
grep -qx $'RECIPIENTS=a@example.jp\r' "$work/status.ini" || fail "the state does not name a@example.jp as pending"
grep -q '"error"' "$work/events.json" || fail "no error entry for the refused recipient"
grep '"error"' "$work/events.json" | grep -q 'RCPT <a@example.jp>: 450 4.2.0' || fail "the entry does not name the refusal"

qw_wait_for 10 at_least 2 || true
[ "$(messages)" -ge 2 ] || fail "the retry delivered nothing"
no_pending() { ! grep -q 'PENDINGALERT' "$work/status.ini"; }
qw_wait_for 5 no_pending || true
grep -q 'PENDINGALERT' "$work/status.ini" && fail "the alert still waits after the retry"
sleep 3  # a third mail would come by now
qw_py checks/partial_delivery_posix "$work/envelopes.json" || fail "the envelopes are not as expected"
grep '"information"' "$work/events.json" | grep -q '遅れて送信' || fail "no late-delivery entry"

kill -TERM "$host_pid"
rc=0
wait "$host_pid" || rc=$?
host_pid=""
[ "$rc" -eq 0 ] || fail "the host exited $rc"
qw_sanitizer_clean "$work/host.err"
echo "partial_delivery_posix: ok"
