#!/usr/bin/env bash
# The one-shot host with a crossed threshold and mail on: one warning entry and
# one alert mail at the test SMTP server, which Python's email package reads
# back to the report (exit 0); with no server listening, the warning, then one
# error entry that names the CONNECT step, and exit 2 with the reason on
# stderr.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init alert_mail_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService" "$bin/smtp_test_server"
qw_test_server "$work"
port="$server_port"

write_ini() {
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp, ops@example.jp\r\nMAILCC=boss@example.jp\r\n' "$1" >"$work/Drivewarden.ini"
}

write_ini "$port"
rc=0
"$bin/QuotawardenService" --once --windir="$work" --eventlog="$work/events.json" 2>"$work/sent.err" || rc=$?
[ "$rc" -eq 0 ] || { cat "$work/sent.err" >&2; fail "exit $rc for a delivered mail"; }
qw_wait_for 5 compgen -G "$work/mail/*.eml" >/dev/null || true

# Nobody listens on the server's port once it is gone.
qw_kill "$server_pid"
rm -f "$work/Drivewarden.ini"
write_ini "$port"
rc=0
"$bin/QuotawardenService" --once --windir="$work" --eventlog="$work/events-noserver.json" \
  2>"$work/noserver.err" || rc=$?
[ "$rc" -eq 2 ] || { cat "$work/noserver.err" >&2; fail "exit $rc with no server listening, expected 2"; }
[ -s "$work/noserver.err" ] || fail "exit 2 with nothing on stderr"
qw_sanitizer_clean "$work/sent.err" "$work/noserver.err"

qw_py checks/alert_mail_posix "$work"
