#!/usr/bin/env bash
# The heartbeat of the POSIX host against a loopback HTTPS receiver with a
# test CA: a POST per check (the start, SIGHUP, --once), the failure URL when
# the settings stop loading at a later check, a receiver that is down and one
# that never answers (each check bounded by the mail deadline, one warning
# for the run of failures, one notice when pings work again), and the URL's
# secret in no entry and no state.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init heartbeat_posix
source tests/e2e/lib/http_peers.sh
bin="$native_bin"
qw_need "$bin/QuotawardenService"
QW_FAIL_SHOW="$work/err $work/events.json $work/status.ini $work/https-server.txt"
pid=""
qw_on_exit '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null'

qw_http_certs "$work"
qw_http_servers "$work"
unset https_proxy HTTPS_PROXY http_proxy HTTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY SSL_CERT_DIR CURL_CA_BUNDLE
export SSL_CERT_FILE="$work/ca.crt"
secret="S3CR3T-$$-7d1e"
failed_start="ハートビートを送れませんでした"
restored_start="ハートビートをまた送れるようになりました"

settings() {  # settings URL [INTERVAL]
  printf '[WARNING]\r\nINTERVAL=%s\r\n[DRIVE]\r\nC=1%%\r\n[HEARTBEAT]\r\nURL=%s\r\nMETHOD=POST\r\n' \
    "${2:-24}" "$1" >"$work/Drivewarden.ini"
}
requests() { qw_py checks/heartbeat_posix count "$work/requests.jsonl" good; }
entries() { qw_py checks/heartbeat_posix entries "$work/events.json" "$1" "$2"; }
# The checks that have reported (the drive's line; the ping follows it).
checks() { grep -c 'C ドライブの空き領域' "$work/events.json" 2>/dev/null || true; }
# Conditions for qw_wait_for, read anew at each try.
requests_over() { [ "$(requests)" -gt "$1" ]; }
checks_over() { [ "$(checks)" -gt "$1" ]; }
entries_are() { [ "$(entries "$1" "$2")" -eq "$3" ]; }
start() {
  rm -f "$work/events.json" "$work/status.ini"
  "$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/events.json" "$@" \
    >"$work/out" 2>"$work/err" </dev/null &
  pid=$!
}
stop() {
  kill -TERM "$pid"
  local rc=0
  wait "$pid" || rc=$?
  pid=""
  [ "$rc" -eq 0 ] || fail "exit code $rc after SIGTERM"
}

# 1. A ping at the start and at SIGHUP; the settings break: the next check
# asks the failure URL of the last good settings.
settings "https://localhost:${http_port[good]}/hb/$secret"
start
qw_wait_for 30 requests_over 0 || fail "no ping at the start"
kill -HUP "$pid"
qw_wait_for 30 requests_over 1 || fail "no ping at SIGHUP"
settings "https://localhost:${http_port[good]}/hb/other" "x"
kill -HUP "$pid"
qw_wait_for 30 requests_over 2 || fail "no ping for the check whose settings did not load"
qw_wait_for 10 grep -q '^FAILURL=1' "$work/status.ini" || fail "the state does not tell the failure URL"
stop
qw_py checks/heartbeat_posix requests "$work/requests.jsonl" good "$secret" ok ok fail ||
  fail "the receiver did not see the pings as they should be"
grep -q '^OK=1' "$work/status.ini" || fail "the state does not tell the answered ping"
grep -q '^SUCCESSUTC=20' "$work/status.ini" || fail "the state has no last success"
[ "$(entries "$failed_start" warning)" -eq 0 ] || fail "a warning although every ping was answered"
qw_py checks/heartbeat_posix secret-free "$secret" "$work/events.json" "$work/status.ini" "$work/err" ||
  fail "the secret leaked"

# 2. A receiver that is down, then one that never answers (mail deadline 2 s),
# then the good one again: two failed checks each, one warning for the run,
# one notice when it ends.
down="$(qw_free_port)"
settings "https://localhost:$down/hb/$secret"
start --mail-deadline=2
qw_wait_for 30 checks_over 0 || fail "no first check"
kill -HUP "$pid"
qw_wait_for 30 checks_over 1 || fail "no second check"
settings "https://localhost:${http_port[silent]}/hb/$secret"
began=$SECONDS
kill -HUP "$pid"
qw_wait_for 30 checks_over 2 || fail "no check against the silent receiver"
kill -HUP "$pid"
qw_wait_for 30 checks_over 3 || fail "no second check against the silent receiver"
grep -q '^OK=0' "$work/status.ini" || fail "the state does not tell the failed ping"
# The good receiver again: its ping comes once the second silent ping has
# ended, after two deadlines of 2 s.
before=$(requests)
settings "https://localhost:${http_port[good]}/hb/$secret"
kill -HUP "$pid"
qw_wait_for 30 requests_over "$before" || fail "no ping after the receiver came back"
took=$((SECONDS - began))
[ "$took" -ge 3 ] && [ "$took" -le 15 ] || fail "two pings to a silent receiver took $took s (deadline 2 s each)"
qw_wait_for 10 entries_are "$restored_start" information 1 || fail "no notice when pings work again"
[ "$(entries "$failed_start" warning)" -eq 1 ] || fail "not one warning for four failed pings"
grep -a "$failed_start" "$work/events.json" | grep -q "https://localhost:$down" ||
  fail "the warning does not name the receiver"
stop
[ "$(entries "$failed_start" warning)" -eq 1 ] || fail "more than one warning"
qw_py checks/heartbeat_posix secret-free "$secret" "$work/events.json" "$work/status.ini" "$work/err" ||
  fail "the secret leaked"

# 3. --once: one ping, the exit code of the check.
before=$(requests)
rm -f "$work/events.json"
rc=0
"$bin/QuotawardenService" --once --windir="$work" --eventlog="$work/events.json" >"$work/out" 2>"$work/err" \
  </dev/null || rc=$?
[ "$rc" -eq 0 ] || fail "--once exit code $rc"
[ "$(requests)" -eq $((before + 1)) ] || fail "--once did not ping once"
qw_sanitizer_clean "$work/err"
echo "heartbeat_posix: ok"
