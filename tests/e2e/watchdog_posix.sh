#!/usr/bin/env bash
# The POSIX host under a supervisor of the test's own: a Unix datagram socket
# named in NOTIFY_SOCKET (an abstract name, then a path), as systemd hands it
# to a Type=notify unit. READY=1 comes once the settings have loaded and
# before the first check's status; WATCHDOG=1 comes from the main loop at
# half WATCHDOG_USEC and stops while the loop hangs (the test-only
# QUOTAWARDEN_TEST_LOOP_HANG); STOPPING=1 comes at SIGTERM. A start whose
# settings do not load sends no READY=1, says why in STATUS= and exits 78.
# Last, `systemd-analyze verify` of the shipped unit.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin="$(realpath "${QW_NATIVE_BIN:-build/native/bin}")"
[ -x "$bin/QuotawardenService" ] || { echo "watchdog_posix: $bin/QuotawardenService is not built" >&2; exit 1; }
work="$(mktemp -d /tmp/qw-e2e-watchdog.XXXXXX)"
pid="" receiver=""
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
  [ -n "$receiver" ] && kill "$receiver" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "watchdog_posix: $*" >&2; for f in err notify.log; do [ -f "$work/$f" ] && { echo "--- $f" >&2; cat "$work/$f" >&2; }; done; exit 1; }
wait_for() {  # wait_for SECONDS COMMAND...
  local n=$(($1 * 10)); shift
  for _ in $(seq "$n"); do "$@" && return 0; sleep 0.1; done
  return 1
}
now() { date +%s.%N; }

# The supervisor: binds NAME and writes each datagram as a JSON line
# {"t": <wall-clock seconds>, "m": <text>} to LOG, until killed.
start_receiver() {  # start_receiver NAME LOG
  rm -f "$2" "$2.bound"
  /usr/bin/python3 - "$1" "$2" <<'PY' &
import json, socket, sys, time
name, log = sys.argv[1], sys.argv[2]
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("\0" + name[1:] if name.startswith("@") else name)
open(log + ".bound", "w").close()
with open(log, "a", encoding="utf-8") as out:
    while True:
        data = s.recv(4096)
        out.write(json.dumps({"t": time.time(), "m": data.decode("utf-8")}, ensure_ascii=False) + "\n")
        out.flush()
PY
  receiver=$!
  wait_for 10 test -f "$2.bound" || fail "the receiver did not bind $1"
}
stop_receiver() { kill "$receiver" 2>/dev/null || true; wait "$receiver" 2>/dev/null || true; receiver=""; }
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
wait_for 30 has '"READY=1' || fail "no READY=1"
wait_for 30 has '"STATUS=Last check' || fail "no status after the first check"
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
/usr/bin/python3 - "$work/notify.log" "$hup" "$term" <<'PY' || fail "the notifications are not as they should be"
import json, sys
msgs = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
hup, term = float(sys.argv[2]), float(sys.argv[3])
def times(pred):
    return [m["t"] for m in msgs if pred(m["m"])]
ready = times(lambda m: "READY=1" in m.split("\n"))
assert len(ready) == 1, ("READY=1 once", msgs)
checks = [m for m in msgs if m["m"].startswith("STATUS=Last check")]
assert len(checks) == 2, ("a status per check: the first and the SIGHUP's", checks)
assert ready[0] <= checks[0]["t"], "READY=1 comes before the first check's status"
first = checks[0]["m"]
assert "information, 0 of " in first and "drives below threshold" in first, first
pings = times(lambda m: m == "WATCHDOG=1")
before = [t for t in pings if ready[0] <= t < hup]
assert len(before) >= 3, ("pings before the hang", before)
gaps = [b - a for a, b in zip(before, before[1:])]
assert max(gaps) < 0.95, ("pings at half the 1 s interval before the hang", gaps)
assert min(gaps) > 0.2, ("no flood of pings", gaps)
during = [t for t in pings if hup + 0.3 < t < hup + 2.7]
assert not during, ("no ping while the main loop hangs", [t - hup for t in during])
after = [t for t in pings if hup + 2.7 <= t < term]
assert len(after) >= 2, ("the pings come back once the loop runs again", [t - hup for t in after])
assert checks[1]["t"] > hup + 2.7, "the SIGHUP's check ran after the hang"
stopping = times(lambda m: m == "STOPPING=1")
assert len(stopping) == 1 and stopping[0] >= term, ("STOPPING=1 at the stop", stopping)
late = [t for t in pings if t > stopping[0] + 1.0]
assert not late, "no pings once stopping"
print("watchdog_posix: %d pings before the hang (largest gap %.2f s), none in the 3 s hang, %d after" %
      (len(before), max(gaps), len(after)))
PY

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
wait_for 30 grep -qs '"id":5610' "$work/events.json" || fail "no check entry without a supervisor"
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
