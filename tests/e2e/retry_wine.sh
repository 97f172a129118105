#!/usr/bin/env bash
# The installed Windows service under Wine's Service Control Manager with the
# test SMTP server down at its first check: the failed alert is one error
# entry, the server starts a little later, and the alert arrives on the
# service's retry timer (its first delay shortened to 3 s by the start
# parameter /RETRYFIRST=3 that this harness passes to StartService) with the
# late-delivery entry; status.ini in ProgramData keeps no pending mail after.
#
# Every wine command writes to files, never to a pipe.
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$(pwd)"
exe_built="${QW_WIN64_BIN:-build/win64/bin}/QuotawardenService.exe"
server_bin="build/native/bin/smtp_test_server"
[ -f "$exe_built" ] || { echo "retry_wine: $exe_built is not built" >&2; exit 1; }
work="$root/build/e2e-retry-wine"
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
  echo "retry_wine: $*" >&2
  for f in "$work"/*.txt "$work"/*.log "$work/events.json" "$work/status.ini"; do [ -f "$f" ] && { echo "== $f"; cat "$f"; } >&2; done
  exit 1
}

# A free port, with nobody listening on it at the first check.
"$server_bin" --port-file "$work/port" --maildir "$work/mail" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port="$(cat "$work/port")"
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=""

qw_wine_prefix "$work/prefix"
events="$work/events.json"
qw_wine_service_eventlog "$events" "$work/reg-env.txt" || fail "reg add"

dir="$WINEPREFIX/drive_c/Quotawarden"
mkdir -p "$dir"
cp "$exe_built" "$dir/"
exe='C:\Quotawarden\QuotawardenService.exe'
printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\n' \
  "$port" >"$WINEPREFIX/drive_c/windows/Drivewarden.ini"

wine "$exe" /INSTALL /SILENT >"$work/install.txt" 2>&1 </dev/null || fail "/INSTALL /SILENT failed"
wine sc start Drivewarden /RETRYFIRST=3 >"$work/start.txt" 2>&1 </dev/null || true
if grep -q 1060 "$work/start.txt"; then
  # Wine's service manager may not see a service registered since it started;
  # a new server starts the automatic-start service by itself (without the
  # parameter): stop it and start it again with the parameter.
  qw_wine_stop
  wineserver -p >/dev/null 2>&1 </dev/null
  wine sc query Drivewarden >"$work/query.txt" 2>&1 </dev/null || true
  for _ in $(seq 30); do grep -q '"error"' "$events" 2>/dev/null && break; sleep 1; done
  wine sc stop Drivewarden >"$work/stop-auto.txt" 2>&1 </dev/null || true
  for _ in $(seq 30); do
    wine sc query Drivewarden >"$work/query.txt" 2>&1 </dev/null || true
    grep -q STOPPED "$work/query.txt" && break
    sleep 1
  done
  wine sc start Drivewarden /RETRYFIRST=3 >"$work/start.txt" 2>&1 </dev/null || true
fi
# The first check's mail fails: its error entry names the retry in 3 s.
for _ in $(seq 60); do grep -q '3 秒後に再送します' "$events" 2>/dev/null && break; sleep 1; done
grep -q '3 秒後に再送します' "$events" || fail "no failed first attempt with the shortened retry"

"$server_bin" --port "$port" --maildir "$work/mail" >>"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 60); do ls "$work/mail"/*.eml >/dev/null 2>&1 && break; sleep 1; done
ls "$work/mail"/*.eml >/dev/null 2>&1 || fail "the alert did not arrive on the retry"
for _ in $(seq 20); do grep -q '遅れて送信しました' "$events" && break; sleep 0.5; done
wine sc stop Drivewarden >"$work/stop.txt" 2>&1 </dev/null || true
sleep 2
cp "$WINEPREFIX/drive_c/ProgramData/Quotawarden/status.ini" "$work/status.ini" 2>/dev/null || true
wine "$exe" /UNINSTALL /SILENT >"$work/uninstall.txt" 2>&1 </dev/null || true

/usr/bin/python3 - "$work" <<'PY' || fail "the mail, the entries or the state are not right"
import email, email.policy, glob, json, os, sys
work = sys.argv[1]
events = [json.loads(l) for l in open(os.path.join(work, "events.json"), encoding="utf-8")]
mine = [e for e in events if e["source"] == "Drivewarden" and e["id"] == 5610]
failed = [e for e in mine if e["type"] == "error" and e["text"].startswith("警告メールを送信できませんでした: CONNECT")]
assert failed and failed[-1]["text"].endswith("3 秒後に再送します。"), mine
late = [e for e in mine if e["type"] == "information" and e["text"].startswith("警告メールを遅れて送信しました。作成: ")]
assert len(late) == 1, mine
mails = sorted(glob.glob(os.path.join(work, "mail", "*.eml")))
assert len(mails) == 1, mails
msg = email.message_from_bytes(open(mails[0], "rb").read(), policy=email.policy.default)
assert str(msg["Subject"]) == "ドライブ領域不足のお知らせ", msg["Subject"]
warnings = [e for e in mine if e["type"] == "warning"]
body = msg.get_content()
assert body.replace("\r\n\r\n", "\r\n").rstrip("\r\n") == warnings[-1]["text"], "the report as composed"
state = open(os.path.join(work, "status.ini"), "rb").read().decode("cp932")
assert "[PENDINGALERT]" not in state and "OPEN=1" in state, state
print("ok:", len(failed), "failed attempt(s), then", late[0]["text"])
PY
