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
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=build/native/bin
work="$(mktemp -d /tmp/qw-e2e-retry.XXXXXX)"
server_pid="" host_pid=""
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "${QW_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "retry_posix: $*" >&2
  for f in "$work"/*.json "$work"/*.err "$work/status.ini" "$work"/server*.log; do
    [ -f "$f" ] && { echo "== $f"; cat "$f"; } >&2
  done
  exit 1
}
mkdir -p "$work/mail"

server_up() {  # server_up MAILDIR [server options] (each server numbers its mails from 1)
  local dir=$1
  shift
  mkdir -p "$dir"
  "$bin/smtp_test_server" --port "$port" --maildir "$dir" "$@" >>"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  fail "the test server did not listen on $port"
}
server_down() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}
mails() { ls "$work/mail/fg" 2>/dev/null | wc -l; }

# A free port: the server picks one and goes again.
"$bin/smtp_test_server" --port-file "$work/port" --maildir "$work/mail" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
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
  if grep -E "ERROR: AddressSanitizer|runtime error:" "$work/$name.err"; then exit 1; fi
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

/usr/bin/python3 - "$work" <<'PY'
import email, email.header, glob, json, os, sys
work = sys.argv[1]

def events(name):
    return [json.loads(l) for l in open(os.path.join(work, name + ".json"), encoding="utf-8")]

def state(name):
    sections, current = {}, None
    for line in open(os.path.join(work, name), "rb").read().decode("cp932").split("\r\n"):
        if line.startswith("["):
            current = sections.setdefault(line.strip("[]"), {})
        elif line:
            key, value = line.split("=", 1)
            current[key] = value
    return sections

def subject(path):
    msg = email.message_from_bytes(open(path, "rb").read())
    return str(email.header.make_header(email.header.decode_header(msg["Subject"])))

fg = events("fg")
errors = [e for e in fg if e["type"] == "error"]
assert errors and all(e["text"].startswith("警告メールを送信できませんでした: CONNECT") for e in errors), fg
assert errors[0]["text"].endswith("2 秒後に再送します。"), errors[0]
late = [e for e in fg if e["type"] == "information" and e["text"].startswith("警告メールを遅れて送信しました。作成: ")]
assert len(late) == 1 and "回失敗した後に送信" in late[0]["text"], fg
s = state("fg-status.ini")
assert "PENDINGALERT" not in s and s["ALERT"]["OPEN"] == "1" and s["ALERT"]["SHORT"] == "C", s
assert s["MAIL"]["DELIVERED"] == "1" and s["MAIL"]["LASTDELIVERYLOCAL"], s

stopped = [e for e in events("stop") if e["type"] == "error"]
assert stopped[-1]["text"].endswith("cancelled by stop\r\nサービスの次の開始後に再送します。"), stopped
assert state("stop-status.ini")["PENDINGALERT"]["ATTEMPTS"] == "2", state("stop-status.ini")

down = state("down.ini")
assert down["PENDINGALERT"]["KIND"] == "alert" and down["PENDINGALERT"]["ATTEMPTS"] == "1", down
assert "次の実行で再送します。" in events("down")[-1]["text"], events("down")
assert "PENDINGALERT" not in state("up.ini")
assert "PENDINGALERT" not in state("recovered.ini") and state("recovered.ini")["ALERT"]["OPEN"] == "0"

assert len(glob.glob(os.path.join(work, "mail", "fg", "*"))) == 1
mails = sorted(glob.glob(os.path.join(work, "mail", "seq", "*")))
subjects = [subject(p) for p in mails]
expected = ["ドライブ領域不足のお知らせ", "ドライブ領域回復のお知らせ", "ドライブ領域不足のお知らせ"]
assert subjects == expected, subjects
recovery = email.message_from_bytes(open(mails[1], "rb").read())
body = recovery.get_payload(decode=True).decode("iso-2022-jp")
assert "回復しました" in body and "C ドライブの空き領域" in body, body
assert [e["type"] for e in events("held")] == ["warning"], "REMIND: the entry, no mail"
print("ok:", len(errors), "failed attempts then late delivery;", subjects)
PY
