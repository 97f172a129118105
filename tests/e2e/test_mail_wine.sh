#!/usr/bin/env bash
# QuotawardenService.exe /TESTMAIL under Wine, without the service installed:
# with ISMAILSEND=0 the test mail reaches the test SMTP server, the
# conversation and 送信しました are on standard output (UTF-8, redirected to a
# file) and the exit is 0; with RCPT refused the reply is printed and the
# exit is 1.
#
# Every wine command writes to files, never to a pipe.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init test_mail_wine build/e2e-testmail-wine
source tests/e2e/lib/wine.sh
exe_built="$win64_bin/QuotawardenService.exe"
qw_need "$exe_built" "$native_bin/smtp_test_server"
QW_FAIL_SHOW="$work/*.out $work/*.err"
mkdir -p "$work/ok" "$work/refused"

qw_test_server "$work/ok"
ok_port="$server_port"
qw_test_server "$work/refused" --reply "RCPT=550 5.1.1 no such user"
refused_port="$server_port"

qw_wine_setup copy
ini="$WINEPREFIX/drive_c/windows/Drivewarden.ini"
write_ini() {
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\nMAILCC=boss@example.jp\r\n' \
    "$1" >"$ini"
}

write_ini "$ok_port"
rc=0
timeout 120 wine "$exe_built" /TESTMAIL >"$work/ok.out" 2>"$work/ok.err" </dev/null || rc=$?
[ "$rc" -eq 0 ] || fail "exit $rc for a delivered test mail"
tr -d '\r' <"$work/ok.out" >"$work/ok.txt"
grep -qx "> MAIL FROM:<warden@example.jp>" "$work/ok.txt" || fail "no MAIL FROM in the output"
grep -qx "> RCPT TO:<boss@example.jp>" "$work/ok.txt" || fail "no RCPT of the Cc in the output"
grep -q "^< 250" "$work/ok.txt" || fail "no server reply in the output"
[ "$(tail -n 1 "$work/ok.txt")" = "送信しました" ] || fail "the last line is not 送信しました"
qw_wait_for 5 compgen -G "$work/ok/mail/*.eml" >/dev/null || fail "no mail at the server"

write_ini "$refused_port"
rc=0
timeout 120 wine "$exe_built" /testmail >"$work/refused.out" 2>"$work/refused.err" </dev/null || rc=$?
[ "$rc" -eq 1 ] || fail "exit $rc with the recipients refused, expected 1"
tr -d '\r' <"$work/refused.out" >"$work/refused.txt"
grep -q "^RCPT <.*>: 550 5.1.1 no such user$" "$work/refused.txt" || fail "the refusal is not printed"

qw_py checks/test_mail_wine "$work"
echo "test_mail_wine: passed"
