#!/usr/bin/env bash
# QuotawardenService.exe /TESTMAIL under Wine, without the service installed:
# with ISMAILSEND=0 the test mail reaches the test SMTP server, the
# conversation and 送信しました are on standard output (UTF-8, redirected to a
# file) and the exit is 0; with RCPT refused the reply is printed and the
# exit is 1.
#
# Every wine command writes to files, never to a pipe.
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$(pwd)"
exe_built="${QW_WIN64_BIN:-build/win64/bin}/QuotawardenService.exe"
server_bin="build/native/bin/smtp_test_server"
[ -f "$exe_built" ] || { echo "test_mail_wine: $exe_built is not built" >&2; exit 1; }
work="$root/build/e2e-testmail-wine"
rm -rf "$work"
mkdir -p "$work/mail" "$work/refused"
source scripts/lib/wine.sh
pids=()
cleanup() {
  qw_wine_stop
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT
fail() {
  echo "test_mail_wine: $*" >&2
  for f in "$work"/*.out "$work"/*.err; do [ -f "$f" ] && { echo "== $f"; cat "$f"; } >&2; done
  exit 1
}

"$server_bin" --port-file "$work/port" --maildir "$work/mail" >"$work/server.log" 2>&1 &
pids+=($!)
"$server_bin" --port-file "$work/refused.port" --maildir "$work/refused" --reply "RCPT=550 5.1.1 no such user" \
  >"$work/refused.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && [ -s "$work/refused.port" ] && break; sleep 0.1; done

qw_wine_prefix "$work/prefix"
ini="$WINEPREFIX/drive_c/windows/Drivewarden.ini"
write_ini() {
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\nMAILCC=boss@example.jp\r\n' \
    "$1" >"$ini"
}

write_ini "$(cat "$work/port")"
rc=0
timeout 120 wine "$exe_built" /TESTMAIL >"$work/ok.out" 2>"$work/ok.err" </dev/null || rc=$?
[ "$rc" -eq 0 ] || fail "exit $rc for a delivered test mail"
tr -d '\r' <"$work/ok.out" >"$work/ok.txt"
grep -qx "> MAIL FROM:<warden@example.jp>" "$work/ok.txt" || fail "no MAIL FROM in the output"
grep -qx "> RCPT TO:<boss@example.jp>" "$work/ok.txt" || fail "no RCPT of the Cc in the output"
grep -q "^< 250" "$work/ok.txt" || fail "no server reply in the output"
[ "$(tail -n 1 "$work/ok.txt")" = "送信しました" ] || fail "the last line is not 送信しました"
for _ in $(seq 50); do ls "$work/mail"/*.eml >/dev/null 2>&1 && break; sleep 0.1; done
ls "$work/mail"/*.eml >/dev/null 2>&1 || fail "no mail at the server"

write_ini "$(cat "$work/refused.port")"
rc=0
timeout 120 wine "$exe_built" /testmail >"$work/refused.out" 2>"$work/refused.err" </dev/null || rc=$?
[ "$rc" -eq 1 ] || fail "exit $rc with the recipients refused, expected 1"
tr -d '\r' <"$work/refused.out" >"$work/refused.txt"
grep -q "^RCPT <.*>: 550 5.1.1 no such user$" "$work/refused.txt" || fail "the refusal is not printed"

/usr/bin/python3 - "$work" <<'PY'
import email, email.policy, glob, os, sys
work = sys.argv[1]
mails = sorted(glob.glob(os.path.join(work, "mail", "*.eml")))
assert len(mails) == 1, mails
msg = email.message_from_bytes(open(mails[0], "rb").read(), policy=email.policy.default)
assert str(msg["Subject"]) == "テストメール", msg["Subject"]
assert [a.addr_spec for a in msg["Cc"].addresses] == ["boss@example.jp"], msg["Cc"]
assert not glob.glob(os.path.join(work, "refused", "*.eml"))
print("ok:", msg["Subject"])
PY
echo "test_mail_wine: passed"
