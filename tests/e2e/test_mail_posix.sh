#!/usr/bin/env bash
# --test-mail with ISMAILSEND=0: the test mail reaches the test SMTP server
# (subject テストメール, To and Cc), the conversation and "送信しました" are on
# stdout and the exit is 0; with RCPT refused the reply is printed and the
# exit is 1; with no server listening "接続できません" and exit 1; a bad port
# in the saved file is a settings error, exit 1.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init test_mail_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService" "$bin/smtp_test_server"
pids=()

start_server() {  # start_server NAME [ARGS...]: port in $work/NAME.port
  local name=$1; shift
  mkdir -p "$work/$name"
  qw_spawn "$work/$name.log" "$bin/smtp_test_server" --port-file "$work/$name.port" --maildir "$work/$name" "$@"
  pids+=("$qw_pid")
  qw_wait_file "$work/$name.port" 10 || fail "server $name did not start"
}
write_ini() {  # write_ini PORT
  rm -f "$work/Drivewarden.ini"
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\nMAILCC=boss@example.jp\r\n' "$1" >"$work/Drivewarden.ini"
}
run() {  # run NAME: exit code in $rc, stdout in $work/NAME.out
  rc=0
  timeout 30 "$bin/QuotawardenService" --test-mail --windir="$work" --eventlog="$work/events.json" \
    --mail-timeout=5 --mail-deadline=20 >"$work/$1.out" 2>"$work/$1.err" || rc=$?
  qw_sanitizer_clean "$work/$1.err"
}

start_server ok
write_ini "$(cat "$work/ok.port")"
run ok
[ "$rc" -eq 0 ] || { cat "$work/ok.out" "$work/ok.err" >&2; fail "exit $rc for a delivered test mail"; }
grep -qx "> MAIL FROM:<warden@example.jp>" "$work/ok.out" || fail "no MAIL FROM in the transcript"
grep -qx "> RCPT TO:<boss@example.jp>" "$work/ok.out" || fail "no RCPT of the Cc in the transcript"
grep -q "^< 250" "$work/ok.out" || fail "no server reply in the transcript"
[ "$(tail -n 1 "$work/ok.out")" = "送信しました" ] || fail "last line is not the outcome: $(tail -n 1 "$work/ok.out")"
qw_wait_for 5 compgen -G "$work/ok/*.eml" >/dev/null || true

start_server refused --reply "RCPT=550 5.1.1 no such user"
write_ini "$(cat "$work/refused.port")"
run refused
[ "$rc" -eq 1 ] || fail "exit $rc with every recipient refused, expected 1"
grep -q "^RCPT <.*>: 550 5.1.1 no such user$" "$work/refused.out" || { cat "$work/refused.out" >&2; fail "the refusal is not printed"; }
grep -qx "< 550 5.1.1 no such user" "$work/refused.out" || fail "the refusal is not in the transcript"

down_port=$(cat "$work/refused.port")
qw_kill "${pids[1]}"
run down
[ "$rc" -eq 1 ] || fail "exit $rc with no server, expected 1"
grep -q "^接続できません: 127.0.0.1:$down_port: " "$work/down.out" || { cat "$work/down.out" >&2; fail "no 接続できません"; }

rm -f "$work/Drivewarden.ini"
printf '[WARNING]\r\nISMAILSEND=0\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=99999\r\nMAILTO=a@example.jp\r\n' >"$work/Drivewarden.ini"
run badport
[ "$rc" -eq 1 ] || fail "exit $rc for a bad port, expected 1"
grep -q "99999" "$work/badport.out" || fail "the settings error is not printed"

qw_py checks/test_mail_posix "$work"
