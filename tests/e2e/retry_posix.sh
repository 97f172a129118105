#!/usr/bin/env bash
# A failed alert mail is tried again, against the test SMTP server turning off
# and on:
#   - the foreground host with the server down at the first check: one error
#     entry per failed attempt, then, once the server is up, the alert arrives
#     on the retry timer (the first retry shortened with --retry-first) with
#     the late-delivery entry, and the state keeps no pending mail;
#   - a stop (SIGTERM) while a retry waits for a silent server ends the host
#     within moments and leaves the alert in the state;
#   - a sequence of one-shot runs sharing status.ini: a failed run keeps the
#     alert in the state, the next run delivers the newer report, a check with
#     no drive short sends the recovery notice (RECOVERYMAIL=1) once, and
#     REMIND holds back the repeated alert of a standing shortage.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init retry_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService" "$bin/smtp_test_server"
QW_FAIL_SHOW="$work/*.json $work/*.err $work/status.ini $work/server*.log"
server_pid="" host_pid=""
qw_on_exit '[ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null'
qw_on_exit '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null'
mkdir -p "$work/mail"

server_up() {  # server_up MAILDIR [server options] (each server numbers its mails from 1)
  local dir=$1
  shift
  mkdir -p "$dir"
  "$bin/smtp_test_server" --port "$port" --maildir "$dir" "$@" >>"$work/server.log" 2>&1 &
  server_pid=$!
  qw_wait_port "$port" 5 || fail "the test server did not listen on $port"
}
server_down() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}
mails() { ls "$work/mail/fg" 2>/dev/null | wc -l; }

# A free port: the server picks one and goes again.
# A port of the test server's choosing, free again once it is gone.
"$bin/smtp_test_server" --port-file "$work/port" --maildir "$work/mail" >"$work/server.log" 2>&1 &
server_pid=$!
qw_wait_file "$work/port" 10 || fail "the test server did not start"
port=$(cat "$work/port")
server_down

write_ini() {  # write_ini THRESHOLD [extra [WARNING] lines]
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n%b[DRIVE]\r\nC=%s\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\n' \
    "${2:-}" "$1" "$port" >"$work/Drivewarden.ini.new"
  mv "$work/Drivewarden.ini.new" "$work/Drivewarden.ini"
}

# --- The foreground host: down at the first check, up a little later.
write_ini 99%
"$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/fg.json" --retry-first=2 \
  --mail-timeout=5 --mail-deadline=10 2>"$work/fg.err" &
host_pid=$!
for _ in $(seq 100); do grep -q '"error"' "$work/fg.json" 2>/dev/null && break; sleep 0.1; done
grep -q '"error"' "$work/fg.json" || fail "no error entry for the failed first mail"
# The state is written just after the entry.
for _ in $(seq 50); do grep -q 'PENDINGALERT' "$work/status.ini" 2>/dev/null && break; sleep 0.1; done
grep -q 'PENDINGALERT' "$work/status.ini" || fail "the failed alert is not kept in the state"
server_up "$work/mail/fg"
for _ in $(seq 150); do [ "$(mails)" -ge 1 ] && break; sleep 0.1; done
[ "$(mails)" -eq 1 ] || fail "the alert did not arrive on the retry"
for _ in $(seq 50); do grep -q 'ALERT' "$work/status.ini" && ! grep -q 'PENDINGALERT' "$work/status.ini" && break; sleep 0.1; done
kill -TERM "$host_pid"
rc=0; wait "$host_pid" || rc=$?; host_pid=""
[ "$rc" -eq 0 ] || fail "the foreground host exited $rc"
cp "$work/status.ini" "$work/fg-status.ini"

# --- A stop while a retry talks to a server that never greets.
server_down
rm -f "$work/status.ini"
"$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/stop.json" --retry-first=1 \
  --mail-timeout=30 --mail-deadline=60 2>"$work/stop.err" &
host_pid=$!
for _ in $(seq 100); do grep -q '"error"' "$work/stop.json" 2>/dev/null && break; sleep 0.1; done
server_up "$work/mail/silent" --at GREETING=silent: --log "$work/silent.log"
# Session 1 is server_up's own probe of the port; session 2 is the retry.
for _ in $(seq 100); do grep -q '^# session 2' "$work/silent.log" 2>/dev/null && break; sleep 0.1; done
grep -q '^# session 2' "$work/silent.log" || fail "the retry did not connect"
sleep 0.3
stop_at=$SECONDS
kill -TERM "$host_pid"
rc=0; wait "$host_pid" || rc=$?; host_pid=""
[ "$rc" -eq 0 ] || fail "the host stopped during a retry exited $rc"
[ $((SECONDS - stop_at)) -le 3 ] || fail "the stop waited for the silent server"
grep -q 'PENDINGALERT' "$work/status.ini" || fail "the alert is not kept after the stop"
cp "$work/status.ini" "$work/stop-status.ini"

# --- One-shot runs sharing the state.
run_once() {  # run_once EXPECTED-EXIT NAME
  local expected=$1 name=$2 rc=0
  "$bin/QuotawardenService" --once --windir="$work" --eventlog="$work/$name.json" --mail-timeout=5 \
    --mail-deadline=10 2>"$work/$name.err" || rc=$?
  [ "$rc" -eq "$expected" ] || fail "$name exit $rc, expected $expected"
  qw_sanitizer_clean "$work/$name.err"
  cp "$work/status.ini" "$work/$name.ini"
}
server_down
rm -f "$work/status.ini"  # a history of its own
write_ini 99% 'RECOVERYMAIL=1\r\nREMIND=24\r\n'
run_once 2 down          # kept in the state
server_up "$work/mail/seq"
run_once 0 up            # the newer report goes at once
write_ini 0 'RECOVERYMAIL=1\r\nREMIND=24\r\n'
run_once 0 recovered     # the recovery notice
run_once 0 quiet         # nothing more
write_ini 99% 'RECOVERYMAIL=1\r\nREMIND=24\r\n'
run_once 0 short-again   # an alert again at once after a recovery
run_once 0 held          # REMIND holds the standing shortage back
server_down

qw_py checks/retry_posix "$work"
