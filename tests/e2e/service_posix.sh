#!/usr/bin/env bash
# The POSIX foreground host: it checks at once, writes the entry, runs until
# SIGTERM (or SIGINT) and exits 0 through the stop handler; a settings file
# that does not convert keeps it from starting (start failure entry, exit 78).
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init service_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService"
QW_FAIL_SHOW="$work/err"
pid=""
qw_on_exit '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null'

# Lines of a file (0 when it does not exist).
lines() { [ -f "$1" ] && wc -l <"$1" || echo 0; }

has_entry() { [ "$(lines "$work/events.json")" -ge 1 ]; }

run_until_signal() {  # run_until_signal SIGNAL
  rm -f "$work/events.json" "$work/err"
  "$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/events.json" \
    >"$work/out" 2>"$work/err" </dev/null &
  pid=$!
  qw_wait_for 30 grep -q "running" "$work/err" || fail "never reached running"
  # Running is reported between the load and the first check, whose entry
  # follows.
  qw_wait_for 30 has_entry || fail "no first check entry"
  # The host keeps running after its first check.
  sleep 0.5
  kill -0 "$pid" 2>/dev/null || fail "the host ended by itself"
  kill "-$1" "$pid"
  local rc=0
  wait "$pid" || rc=$?
  pid=""
  [ "$rc" -eq 0 ] || fail "exit code $rc after SIG$1"
  grep -q "stop pending" "$work/err" || fail "no stop pending after SIG$1"
  tail -n 1 "$work/err" | grep -q "stopped" || fail "last state is not stopped"
  [ "$(lines "$work/events.json")" -eq 1 ] || fail "entries after the stop"
}

printf '[WARNING]\r\nINTERVAL=1\r\n[DRIVE]\r\nC=1%%\r\n' >"$work/Drivewarden.ini"
run_until_signal TERM
qw_py checks/service_posix "$work/events.json" first-check
run_until_signal INT

# A threshold above the free space: the first check writes a warning.
printf '[WARNING]\r\nINTERVAL=1\r\n[DRIVE]\r\nC=100%%\r\n' >"$work/Drivewarden.ini"
run_until_signal TERM
grep -q '"type":"warning"' "$work/events.json" || fail "no warning entry"

# An INTERVAL that is not a whole number: start failure, exit 78.
printf '[WARNING]\r\nINTERVAL=x\r\n' >"$work/Drivewarden.ini"
rm -f "$work/events.json"
rc=0
timeout 30 "$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/events.json" \
  >"$work/out" 2>"$work/err" </dev/null || rc=$?
[ "$rc" -eq 78 ] || fail "exit code $rc for a failed start (settings that do not load: 78)"
qw_py checks/service_posix "$work/events.json" failed-start
tail -n 1 "$work/err" | grep -q "stopped" || fail "a failed start does not end stopped"

# --once is still there and unchanged.
printf '[WARNING]\r\nINTERVAL=1\r\n' >"$work/Drivewarden.ini"
rm -f "$work/events.json"
"$bin/QuotawardenService" --once --windir="$work" --eventlog="$work/events.json" >"$work/out" 2>"$work/err"
[ "$(lines "$work/events.json")" -eq 1 ] || fail "--once wrote no entry"
echo "service_posix: ok"
