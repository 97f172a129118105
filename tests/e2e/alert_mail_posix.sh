#!/usr/bin/env bash
# The one-shot host with a crossed threshold and mail on: one warning entry and
# one alert mail at the test SMTP server, which Python's email package reads
# back to the report (exit 0); with no server listening, the warning, then one
# error entry that names the CONNECT step, and exit 2 with the reason on
# stderr.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=build/native/bin
work="$(mktemp -d /tmp/qw-e2e-alert.XXXXXX)"
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/mail"

"$bin/smtp_test_server" --port-file "$work/port" --maildir "$work/mail" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

write_ini() {
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp, ops@example.jp\r\nMAILCC=boss@example.jp\r\n' "$1" >"$work/Drivewarden.ini"
}

write_ini "$port"
rc=0
"$bin/QuotawardenService" --once --windir="$work" --eventlog="$work/events.json" 2>"$work/sent.err" || rc=$?
[ "$rc" -eq 0 ] || { echo "alert_mail_posix: exit $rc for a delivered mail" >&2; cat "$work/sent.err" >&2; exit 1; }
for _ in $(seq 50); do ls "$work/mail"/*.eml >/dev/null 2>&1 && break; sleep 0.1; done

# Nobody listens on the server's port once it is gone.
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=""
rm -f "$work/Drivewarden.ini"
write_ini "$port"
rc=0
"$bin/QuotawardenService" --once --windir="$work" --eventlog="$work/events-noserver.json" \
  2>"$work/noserver.err" || rc=$?
[ "$rc" -eq 2 ] || { echo "alert_mail_posix: exit $rc with no server listening, expected 2" >&2; cat "$work/noserver.err" >&2; exit 1; }
[ -s "$work/noserver.err" ] || { echo "alert_mail_posix: exit 2 with nothing on stderr" >&2; exit 1; }
if grep -E "ERROR: AddressSanitizer|runtime error:" "$work/sent.err" "$work/noserver.err"; then exit 1; fi

/usr/bin/python3 - "$work" <<'PY'
import email, email.policy, glob, json, os, re, sys
work = sys.argv[1]
events = [json.loads(l) for l in open(os.path.join(work, "events.json"), encoding="utf-8")]
assert len(events) == 1 and events[0]["type"] == "warning", events
mails = sorted(glob.glob(os.path.join(work, "mail", "*.eml")))
assert len(mails) == 1, mails
raw = open(mails[0], "rb").read()
assert all(b < 0x80 for b in raw), "the mail is 7-bit"
msg = email.message_from_bytes(raw, policy=email.policy.default)
assert str(msg["Subject"]) == "ドライブ領域不足のお知らせ", msg["Subject"]
sender = msg["From"].addresses[0]
assert (sender.display_name, sender.addr_spec) == ("ドライブ番人サービス", "warden@example.jp"), sender
assert [a.addr_spec for a in msg["To"].addresses] == ["admin@example.jp", "ops@example.jp"], msg["To"]
assert [a.addr_spec for a in msg["Cc"].addresses] == ["boss@example.jp"], msg["Cc"]
body = msg.get_content()
# The event entry is the report without its blank lines.
entry = events[0]["text"]
assert body.replace("\r\n\r\n", "\r\n").rstrip("\r\n") == entry, (body, entry)
assert "\r\n\r\n" in body, "the mail keeps the blank lines"
noserver = [json.loads(l) for l in open(os.path.join(work, "events-noserver.json"), encoding="utf-8")]
assert len(noserver) == 2, noserver
assert noserver[0]["type"] == "warning" and noserver[0]["id"] == 5610, noserver[0]
failure = noserver[1]
assert failure["type"] == "error" and failure["source"] == "Drivewarden", failure
assert re.search(r"CONNECT 127\.0\.0\.1:\d+: \S", failure["text"]), failure["text"]
assert len(glob.glob(os.path.join(work, "mail", "*.eml"))) == 1
print("ok:", msg["Subject"], "/", msg["From"])
PY
