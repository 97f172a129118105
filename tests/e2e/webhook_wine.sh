#!/usr/bin/env bash
# Chat and webhook alerts of the installed Windows service under Wine's
# Service Control Manager, through WinHTTP to a loopback HTTPS receiver whose
# test CA is among the prefix's machine trusted roots:
#   - TEAMS, SLACK and JSON delivered once each and read back (the Teams
#     card against the Adaptive Card 1.4.0 schema, Slack's shape and limits,
#     the same computer in every kind);
#   - a 500 tried again on the retry schedule (its first delay shortened by
#     the start parameter /RETRYFIRST=3) and delivered late;
#   - a 404 refused for good: one request, no retry;
#   - /TESTMAIL: every target's outcome, exit 1 for the 404;
#   - the URLs' secret parts in no entry, not in status.ini, not printed.
#
# Every wine command writes to files, never to a pipe.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init webhook_wine
source tests/e2e/lib/wine.sh
source tests/e2e/lib/http_peers.sh
qw_need "$win64_bin/QuotawardenService.exe" "$win64_bin/http_probe.exe"
# Wine's WinHTTP would take a proxy from these when the machine has none.
unset https_proxy HTTPS_PROXY http_proxy HTTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
QW_FAIL_SHOW="$work/*.txt $work/events.json $work/status.ini $work/hooks.jsonl"

qw_http_certs "$work"
qw_spawn "$work/receiver.txt" /usr/bin/python3 tests/e2e/webhook_receiver.py "$work/hookport" "$work/hooks.jsonl" \
  "$work/server.crt" "$work/server.key" \
  /teams/w/SecretWineT1=200 /slack/w/SecretWineS2=200 /json/w/SecretWineJ3=200 /json/down/SecretWineD4=500,200 \
  /json/gone/SecretWineG5=404
qw_wait_file "$work/hookport" 10 || fail "the receiver did not start: $(cat "$work/receiver.txt")"
touch "$work/hooks.jsonl"
hook="https://localhost:$(cat "$work/hookport")"
qw_wine_setup copy
qw_service_setup Quotawarden
echo "[$SECONDS s] prefix ready"
folder="$WINEPREFIX/drive_c/Quotawarden"
cp "$win64_bin/http_probe.exe" "$folder/"
qw_wine trust 'C:\Quotawarden\http_probe.exe' --trust "Z:${work//\//\\}\\ca.crt" ||
  fail "the test CA was not added to the machine's roots: $(cat "$work/trust.txt")"
status_ini="$WINEPREFIX/drive_c/ProgramData/Quotawarden/status.ini"
failures=0
check_failed() {
  echo "webhook_wine: FAIL $*" >&2
  failures=$((failures + 1))
}
count() { qw_py webhook_log count "$work/hooks.jsonl" "$1"; }
at_least() { [ "$(count "$1")" -ge "$2" ]; }
entries_have() { grep -q -- "$1" "$events" 2>/dev/null; }

# No target until the service runs with the start parameter: a service
# manager that starts the new service by itself (without it) sends nothing.
printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n[DRIVE]\r\nC=99%%\r\n' >"$ini"
qw_service_install
qw_sc_start
qw_sc_wait RUNNING 60 || fail "never RUNNING (state $(qw_sc_state))"
qw_sc_stop
qw_sc_wait STOPPED 60 || fail "never STOPPED (state $(qw_sc_state))"
n=0
for target in TEAMS=/teams/w/SecretWineT1 SLACK=/slack/w/SecretWineS2 JSON=/json/w/SecretWineJ3 \
  JSON=/json/down/SecretWineD4 JSON=/json/gone/SecretWineG5; do
  n=$((n + 1))
  printf '[WEBHOOK%d]\r\nKIND=%s\r\nURL=%s%s\r\n' "$n" "${target%%=*}" "$hook" "${target#*=}" >>"$ini"
done
qw_wine start-param sc start Drivewarden /RETRYFIRST=3 || true
qw_sc_wait RUNNING 60 || fail "never RUNNING with /RETRYFIRST=3 (state $(qw_sc_state))"
qw_wait_for 60 at_least /json/down/SecretWineD4 2 || check_failed "the 500 target was not tried again"
qw_wait_for 20 entries_have '通知先 WEBHOOK4 に警告を遅れて送信しました' || check_failed "no late delivery entry"
echo "[$SECONDS s] delivered"
qw_sc_stop
qw_sc_wait STOPPED 60 || fail "never STOPPED (state $(qw_sc_state))"
cp "$status_ini" "$work/status.ini" 2>/dev/null || check_failed "no status.ini"

for path in /teams/w/SecretWineT1 /slack/w/SecretWineS2 /json/w/SecretWineJ3 /json/gone/SecretWineG5; do
  [ "$(count "$path")" -eq 1 ] || check_failed "$path: $(count "$path") requests, expected 1"
done
[ "$(count /json/down/SecretWineD4)" -eq 2 ] || check_failed "500: $(count /json/down/SecretWineD4) requests"
qw_py webhook_log body "$work/hooks.jsonl" /teams/w/SecretWineT1 0 "$work/teams.json"
qw_py webhook_log body "$work/hooks.jsonl" /slack/w/SecretWineS2 0 "$work/slack.json"
/usr/bin/python3 tests/e2e/adaptive_card_check.py teams "$work/teams.json" >"$work/teams-check.txt" ||
  check_failed "the Teams card: $(cat "$work/teams-check.txt")"
/usr/bin/python3 tests/e2e/adaptive_card_check.py slack "$work/slack.json" >"$work/slack-check.txt" ||
  check_failed "the Slack blocks: $(cat "$work/slack-check.txt")"
computer="$(/usr/bin/python3 tests/e2e/webhook_faults_check.py computer "$work/hooks.jsonl" /json/w/SecretWineJ3)"
[ -n "$computer" ] || check_failed "the JSON object names no computer"
qw_py webhook_log json "$work/hooks.jsonl" /json/w/SecretWineJ3 "$computer" >"$work/json-check.txt" ||
  check_failed "the JSON object: $(cat "$work/json-check.txt")"
/usr/bin/python3 tests/e2e/webhook_faults_check.py names "$work/hooks.jsonl" "$computer" \
  /teams/w/SecretWineT1 /slack/w/SecretWineS2 /json/w/SecretWineJ3 >"$work/names.txt" ||
  check_failed "the computer in the kinds: $(cat "$work/names.txt")"

qw_entries "$events" >"$work/entries.txt"
grep -q 'WEBHOOK5 (JSON) に警告を送信できませんでした: HTTP 404: status 404\\nサーバーが拒否したため再送しません。' \
  "$work/entries.txt" || check_failed "no final entry for the 404"
grep -q 'WEBHOOK4 (JSON) に警告を送信できませんでした: HTTP 500: status 500\\n3 秒後に再送します。' "$work/entries.txt" ||
  check_failed "no retry entry for the 500"
for n in 1 2 3 4 5; do grep -q "^\[CHANNEL.WEBHOOK$n\]" "$work/status.ini" || check_failed "no [CHANNEL.WEBHOOK$n]"; done
grep -q PENDINGKIND "$work/status.ini" && check_failed "a channel still pending"

# /TESTMAIL with the same settings: no SMTP server, the targets alone.
rc=0
timeout 120 wine "$exe" /TESTMAIL >"$work/testmail.out" 2>"$work/testmail.err" </dev/null || rc=$?
tr -d '\r' <"$work/testmail.out" >"$work/testmail.txt"
[ "$rc" -eq 1 ] || check_failed "/TESTMAIL: exit $rc with a target that refuses"
grep -qx "WEBHOOK1 (TEAMS) $hook: 送信しました (HTTP 200)" "$work/testmail.txt" || check_failed "/TESTMAIL: WEBHOOK1"
grep -qx "WEBHOOK5 (JSON) $hook: 送信できませんでした: HTTP 404: status 404" "$work/testmail.txt" ||
  check_failed "/TESTMAIL: WEBHOOK5"
[ "$(/usr/bin/python3 tests/e2e/webhook_faults_check.py kind "$work/hooks.jsonl" /json/gone/SecretWineG5 1)" = test ] ||
  check_failed "/TESTMAIL: the JSON object is not a test"

for f in "$work/entries.txt" "$work/status.ini" "$work/testmail.txt"; do
  grep -H -o 'SecretWine[A-Z][0-9]' "$f" && check_failed "a secret in $f"
done
[ "$failures" -eq 0 ] || fail "$failures checks failed"
echo "webhook_wine: OK ($SECONDS s)"
