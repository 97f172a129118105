#!/usr/bin/env bash
# An alert that a greylisting server (aiosmtpd) accepts for one recipient and
# refuses with 450 for the other: the foreground host keeps the refused
# recipient pending (status.ini names it), retries on the retry timer (the
# first retry shortened with --retry-first) for that recipient alone, and
# nobody gets the alert twice.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin="${QW_NATIVE_BIN:-build/native/bin}"
[ -x "$bin/QuotawardenService" ] || { echo "partial_delivery_posix: $bin/QuotawardenService is not built" >&2; exit 1; }
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || { echo "partial_delivery_posix: python3-aiosmtpd is missing" >&2; exit 1; }

work="$(mktemp -d /tmp/qw-e2e-partial.XXXXXX)"
server_pid="" host_pid=""
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "$host_pid" ] && wait "$host_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null || true
  [ -n "${QW_KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "partial_delivery_posix: $*" >&2
  for f in "$work/events.json" "$work/host.err" "$work/server.log" "$work/envelopes.json" "$work/status.ini"; do
    [ -f "$f" ] && { echo "== $f"; cat "$f"; } >&2
  done
  exit 1
}
messages() { [ -f "$work/envelopes.json" ] && wc -l <"$work/envelopes.json" || echo 0; }

/usr/bin/python3 tests/e2e/greylist_server.py --greylist a@example.jp --log "$work/envelopes.json" \
  --port-file "$work/port" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || fail "the server did not start"
port=$(cat "$work/port")

# C is short (99 % free wanted); the alert goes to a and b.
printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=b@example.jp, a@example.jp\r\n' \
  "$port" >"$work/Drivewarden.ini"
"$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/events.json" --retry-first=2 \
  --mail-timeout=5 --mail-deadline=10 2>"$work/host.err" &
host_pid=$!

for _ in $(seq 100); do [ "$(messages)" -ge 1 ] && break; sleep 0.1; done
[ "$(messages)" -ge 1 ] || fail "the first attempt delivered nothing"
for _ in $(seq 50); do grep -q '^RECIPIENTS=' "$work/status.ini" 2>/dev/null && break; sleep 0.1; done
grep -qx $'RECIPIENTS=a@example.jp\r' "$work/status.ini" || fail "the state does not name a@example.jp as pending"
grep -q '"error"' "$work/events.json" || fail "no error entry for the refused recipient"
grep '"error"' "$work/events.json" | grep -q 'RCPT <a@example.jp>: 450 4.2.0' || fail "the entry does not name the refusal"

for _ in $(seq 100); do [ "$(messages)" -ge 2 ] && break; sleep 0.1; done
[ "$(messages)" -ge 2 ] || fail "the retry delivered nothing"
for _ in $(seq 50); do ! grep -q 'PENDINGALERT' "$work/status.ini" && break; sleep 0.1; done
grep -q 'PENDINGALERT' "$work/status.ini" && fail "the alert still waits after the retry"
sleep 3  # a third mail would come by now
/usr/bin/python3 - "$work/envelopes.json" <<'PY' || fail "the envelopes are not as expected"
import json, sys
envelopes = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
tos = [e["to"] for e in envelopes]
assert tos == [["b@example.jp"], ["a@example.jp"]], tos
print("partial_delivery_posix: first to %s, retry to %s" % (tos[0], tos[1]))
PY
grep '"information"' "$work/events.json" | grep -q '遅れて送信' || fail "no late-delivery entry"

kill -TERM "$host_pid"
rc=0
wait "$host_pid" || rc=$?
host_pid=""
[ "$rc" -eq 0 ] || fail "the host exited $rc"
grep -qiE 'AddressSanitizer|runtime error' "$work/host.err" && fail "sanitizer report"
echo "partial_delivery_posix: ok"
