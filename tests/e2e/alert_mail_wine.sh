#!/usr/bin/env bash
# The installed Windows service, started through Wine's Service Control
# Manager, delivers the alert mail of its first check to the test SMTP server
# on loopback; Python's email package reads it back to the report. Wine runs
# in an English locale, so nothing may depend on code page 932 being the
# system's.
#
# Every wine command writes to files, never to a pipe (Wine's system
# processes inherit the handles of the command that starts them).
set -euo pipefail
cd "$(dirname "$0")/../.."
# Wine in an English locale (ANSI code page 1252): the mail must read in
# Japanese whatever the system's code page.
export LANG=en_US.UTF-8 LC_ALL=
root="$(pwd)"
exe_built="${QW_WIN64_BIN:-build/win64/bin}/QuotawardenService.exe"
server_bin="build/native/bin/smtp_test_server"
[ -f "$exe_built" ] || { echo "alert_mail_wine: $exe_built is not built" >&2; exit 1; }
work="$root/build/e2e-alert-wine"
rm -rf "$work"
mkdir -p "$work/mail"
source scripts/lib/wine.sh
server_pid=""
cleanup() {
  wine sc stop Drivewarden >/dev/null 2>&1 </dev/null || true
  qw_wine_stop
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
}
trap cleanup EXIT
fail() {
  echo "alert_mail_wine: $*" >&2
  for f in "$work"/*.txt "$work"/*.log "$work/events.json"; do [ -f "$f" ] && { echo "== $f"; cat "$f"; } >&2; done
  exit 1
}

"$server_bin" --port-file "$work/port" --maildir "$work/mail" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port="$(cat "$work/port")"

qw_wine_prefix "$work/prefix"
events="$work/events.json"
qw_wine_service_eventlog "$events" "$work/reg-env.txt" || fail "reg add"

dir="$WINEPREFIX/drive_c/Quotawarden"
mkdir -p "$dir"
cp "$exe_built" "$dir/"
exe='C:\Quotawarden\QuotawardenService.exe'
printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp,ops@example.jp\r\nMAILCC=boss@example.jp\r\n' \
  "$port" >"$WINEPREFIX/drive_c/windows/Drivewarden.ini"

wine "$exe" /INSTALL /SILENT >"$work/install.txt" 2>&1 </dev/null || fail "/INSTALL /SILENT failed"
wine sc start Drivewarden >"$work/start.txt" 2>&1 </dev/null || true
if grep -q 1060 "$work/start.txt"; then
  # Wine's service manager may not see a service registered since it started;
  # a new server starts the automatic-start service by itself.
  qw_wine_stop
  wineserver -p >/dev/null 2>&1 </dev/null
  wine sc query Drivewarden >"$work/query.txt" 2>&1 </dev/null || true
fi
for _ in $(seq 60); do ls "$work/mail"/*.eml >/dev/null 2>&1 && break; sleep 1; done
ls "$work/mail"/*.eml >/dev/null 2>&1 || fail "no mail arrived"
wine sc stop Drivewarden >"$work/stop.txt" 2>&1 </dev/null || true
sleep 2
wine "$exe" /UNINSTALL /SILENT >"$work/uninstall.txt" 2>&1 </dev/null || true

/usr/bin/python3 - "$work" <<'PY' || fail "the mail or the entry is not right"
import email, email.policy, glob, json, os, sys
work = sys.argv[1]
events = [json.loads(l) for l in open(os.path.join(work, "events.json"), encoding="utf-8")]
warnings = [e for e in events if e["source"] == "Drivewarden" and e["type"] == "warning" and e["id"] == 5610]
assert len(warnings) == 1, events
mails = sorted(glob.glob(os.path.join(work, "mail", "*.eml")))
assert len(mails) == 1, mails
msg = email.message_from_bytes(open(mails[0], "rb").read(), policy=email.policy.default)
assert str(msg["Subject"]) == "ドライブ領域不足のお知らせ", msg["Subject"]
sender = msg["From"].addresses[0]
assert (sender.display_name, sender.addr_spec) == ("ドライブ番人サービス", "warden@example.jp"), sender
assert [a.addr_spec for a in msg["To"].addresses] == ["admin@example.jp", "ops@example.jp"]
assert [a.addr_spec for a in msg["Cc"].addresses] == ["boss@example.jp"]
body = msg.get_content()
assert body.replace("\r\n\r\n", "\r\n").rstrip("\r\n") == warnings[0]["text"], (body, warnings[0]["text"])
print("ok:", msg["Subject"], "/", msg["From"], "/", msg["Message-ID"])
PY
