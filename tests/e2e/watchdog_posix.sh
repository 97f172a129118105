#!/usr/bin/env bash
# The POSIX host under a supervisor of the test's own: a Unix datagram socket
# named in NOTIFY_SOCKET (an abstract name, then a path), as systemd hands it
# to a Type=notify unit. READY=1 comes once the settings have loaded and
# before the first check's status; WATCHDOG=1 comes from the main loop at
# half WATCHDOG_USEC and stops while the loop hangs (the test-only
# QUOTAWARDEN_TEST_LOOP_HANG); STOPPING=1 comes at SIGTERM. A start whose
# settings do not load sends no READY=1, says why in STATUS= and exits 78.
# Last, `systemd-analyze verify` of the shipped unit.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init watchdog_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService"
QW_FAIL_SHOW="$work/err $work/notify.log"
pid="" receiver=""
qw_on_exit '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null'
now() { date +%s.%N; }

# The supervisor: tests/e2e/notify_receiver.py bound to NAME, its
# datagrams in LOG.
start_receiver() {  # start_receiver NAME LOG
  rm -f "$2" "$2.bound"
  qw_spawn "$2.out" /usr/bin/python3 "$root/tests/e2e/notify_receiver.py" "$1" "$2"
  receiver=$qw_pid
  qw_wait_for 10 test -f "$2.bound" || fail "the receiver did not bind $1"
}
stop_receiver() { qw_kill "$receiver"; receiver=""; }
has() { grep -q "$1" "$work/notify.log" 2>/dev/null; }

printf '[WARNING]\r\nINTERVAL=1\r\n[DRIVE]\r\nC=1%%\r\n' >"$work/Drivewarden.ini"

# 1. A healthy run: WATCHDOG_USEC of 1 s, so a ping every 0.5 s; a SIGHUP
# holds the main loop for 3 s.
name="@qw-watchdog-$$"
start_receiver "$name" "$work/notify.log"
NOTIFY_SOCKET="$name" WATCHDOG_USEC=1000000 QUOTAWARDEN_TEST_LOOP_HANG=3 \
  "$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/events.json" \
  >"$work/out" 2>"$work/err" </dev/null &
pid=$!
qw_wait_for 30 has '"READY=1' || fail "no READY=1"
qw_wait_for 30 has '"STATUS=Last check' || fail "no status after the first check"
sleep 2.5
hup=$(now)
kill -HUP "$pid"
sleep 4.5
term=$(now)
kill -TERM "$pid"
rc=0
wait "$pid" || rc=$?
pid=""
[ "$rc" -eq 0 ] || fail "exit code $rc after SIGTERM"
sleep 0.3
stop_receiver
qw_py checks/watchdog_posix "$work/notify.log" "$hup" "$term" || fail "the notifications are not as they should be"

# 2. Settings that do not load, told through a socket named by a path: no
# READY=1, the reason as the status, exit 78 (the unit does not restart it),
# and the start failure entry.
printf '[WARNING]\r\nINTERVAL=0\r\n' >"$work/Drivewarden.ini"
rm -f "$work/events.json"
start_receiver "$work/notify.sock" "$work/notify.log"
rc=0
NOTIFY_SOCKET="$work/notify.sock" WATCHDOG_USEC=1000000 timeout 30 \
  "$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/events.json" \
  >"$work/out" 2>"$work/err" </dev/null || rc=$?
sleep 0.3
stop_receiver
[ "$rc" -eq 78 ] || fail "exit code $rc for settings that do not load, expected 78"
has '"READY=1' && fail "READY=1 without settings"
has 'STATUS=Start refused: the settings file does not load' || fail "no status for the refused start"
grep -q '"text":"サービス失敗 開始: 設定ファイル Drivewarden.ini の \[WARNING\] INTERVAL=0' "$work/events.json" ||
  fail "no start failure entry"

# 3. A supervisor that is not there: one error entry for the run of failed
# notifications, and the watch goes on.
printf '[WARNING]\r\nINTERVAL=1\r\n' >"$work/Drivewarden.ini"
rm -f "$work/events.json"
NOTIFY_SOCKET="$work/nobody.sock" WATCHDOG_USEC=400000 \
  "$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/events.json" \
  >"$work/out" 2>"$work/err" </dev/null &
pid=$!
qw_wait_for 30 grep -qs '"id":5610' "$work/events.json" || fail "no check entry without a supervisor"
sleep 1.5  # several pings fail meanwhile
kill -TERM "$pid"
rc=0
wait "$pid" || rc=$?
pid=""
[ "$rc" -eq 0 ] || fail "exit code $rc after SIGTERM without a supervisor"
n=$(grep -c 'systemd への通知 (NOTIFY_SOCKET) が失敗しました: sendto: ' "$work/events.json" || true)
[ "$n" -eq 1 ] || fail "$n entries for the failed notifications, expected 1"

# 4. The shipped unit, its ExecStart pointed at the built program.
if command -v systemd-analyze >/dev/null; then
  sed "s|/usr/local/bin/QuotawardenService|$bin/QuotawardenService|" packaging/quotawarden.service \
    >"$work/quotawarden.service"
  systemd-analyze verify "$work/quotawarden.service" >"$work/verify.log" 2>&1 || fail "systemd-analyze verify failed: $(cat "$work/verify.log")"
  [ ! -s "$work/verify.log" ] || fail "systemd-analyze verify warns: $(cat "$work/verify.log")"
  grep -q '^Type=notify$' "$work/quotawarden.service" || fail "the unit is not Type=notify"
  grep -q '^WatchdogSec=' "$work/quotawarden.service" || fail "the unit has no WatchdogSec="
else
  fail "systemd-analyze is missing (scripts/setup installs systemd)"
fi
echo "watchdog_posix: ok"
