#!/usr/bin/env bash
# Chat and webhook alerts from the POSIX foreground host to a loopback HTTPS
# receiver with a test CA, beside the alert mail to the test SMTP server:
#   - TEAMS, SLACK and JSON delivered once each and read back (the Teams card
#     against the Adaptive Card 1.4.0 schema, Slack's shape and limits, the
#     JSON object's fields and the configured Authorization header);
#   - 400, 404 and a redirect refused for good: one request, an entry, no
#     retry (the redirect not followed);
#   - a certificate for another name: refused at the TLS step, no request;
#   - 500 tried again alone on the retry schedule (--retry-first) and
#     delivered late; 429 tried again no sooner than its Retry-After;
#   - the mail delivered whatever the webhooks do;
#   - the URLs' secret parts in no entry and not in status.ini.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init webhook_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService" "$bin/smtp_test_server"
QW_FAIL_SHOW="$work/*.json $work/*.err $work/status.ini $work/*.txt $work/hooks.jsonl"
source tests/e2e/lib/exim.sh
host_pid=""
qw_on_exit '[ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null'
failures=0
check_failed() {
  echo "webhook_posix: FAIL $*" >&2
  failures=$((failures + 1))
}

qw_test_certs "$work"
unset https_proxy HTTPS_PROXY http_proxy HTTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY SSL_CERT_DIR CURL_CA_BUNDLE
export SSL_CERT_FILE="$work/ca.crt"
qw_spawn "$work/receiver.txt" /usr/bin/python3 tests/e2e/webhook_receiver.py "$work/hookport" "$work/hooks.jsonl" \
  "$work/server.crt" "$work/server.key" \
  /teams/T0ok/SecretTeams111=200 /slack/T0ok/SecretSlack222=200 /json/ok/SecretJson333=202 \
  /json/bad/SecretBad444=400 /json/gone/SecretGone555=404 /json/busy/SecretBusy666=429:4,200 \
  /json/down/SecretDown777=500,200 /json/moved/SecretMoved999=302
qw_wait_file "$work/hookport" 10 || fail "the receiver did not start: $(cat "$work/receiver.txt")"
hook="https://localhost:$(cat "$work/hookport")"
touch "$work/hooks.jsonl"
mkdir -p "$work/mail"
qw_test_server "$work"

printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\n' \
  "$server_port" >"$work/Drivewarden.ini"
n=0
for target in TEAMS=/teams/T0ok/SecretTeams111 SLACK=/slack/T0ok/SecretSlack222 JSON=/json/ok/SecretJson333 \
  JSON=/json/bad/SecretBad444 JSON=/json/gone/SecretGone555 JSON=/json/busy/SecretBusy666 JSON=/json/down/SecretDown777 \
  JSON=/json/moved/SecretMoved999; do
  n=$((n + 1))
  printf '[WEBHOOK%d]\r\nKIND=%s\r\nURL=%s%s\r\n' "$n" "${target%%=*}" "$hook" "${target#*=}" >>"$work/Drivewarden.ini"
  if [ "$n" -eq 7 ]; then printf 'HEADER1=Authorization: Bearer SecretToken888\r\n' >>"$work/Drivewarden.ini"; fi
done
# WEBHOOK9 dials the address, which the certificate (localhost only) does
# not name.
printf '[WEBHOOK9]\r\nKIND=JSON\r\nURL=https://127.0.0.1:%s/json/cert/SecretCert000\r\n' "$(cat "$work/hookport")" >>"$work/Drivewarden.ini"

count() { qw_py webhook_log count "$work/hooks.jsonl" "$1"; }
at_least() { [ "$(count "$1")" -ge "$2" ]; }
"$bin/QuotawardenService" --foreground --windir="$work" --eventlog="$work/events.json" --retry-first=2 \
  --mail-timeout=5 --mail-deadline=10 2>"$work/host.err" &
host_pid=$!
# Everything settles within the 429's Retry-After (4 s) and a margin.
qw_wait_for 20 at_least /json/busy/SecretBusy666 2 || check_failed "the 429 target was not tried again"
qw_wait_for 10 at_least /json/down/SecretDown777 2 || check_failed "the 500 target was not tried again"
# The state is written just after the last delivery; a moment more shows
# that nothing else is sent.
sleep 1.5
kill -TERM "$host_pid"
rc=0; wait "$host_pid" || rc=$?; host_pid=""
[ "$rc" -eq 0 ] || check_failed "the foreground host exited $rc"
echo "[$SECONDS s] requests: $(cut -c1-80 "$work/hooks.jsonl" | wc -l)"

# Each kind delivered once and read back.
for path in /teams/T0ok/SecretTeams111 /slack/T0ok/SecretSlack222 /json/ok/SecretJson333 \
  /json/bad/SecretBad444 /json/gone/SecretGone555 /json/moved/SecretMoved999; do
  [ "$(count "$path")" -eq 1 ] || check_failed "$path: $(count "$path") requests, expected 1"
done
[ "$(count /json/busy/SecretBusy666)" -eq 2 ] || check_failed "429: $(count /json/busy/SecretBusy666) requests"
[ "$(count /json/down/SecretDown777)" -eq 2 ] || check_failed "500: $(count /json/down/SecretDown777) requests"
[ "$(count /json/cert/SecretCert000)" -eq 0 ] || check_failed "a request passed the certificate for another name"
qw_py webhook_log body "$work/hooks.jsonl" /teams/T0ok/SecretTeams111 0 "$work/teams.body"
qw_py webhook_log body "$work/hooks.jsonl" /slack/T0ok/SecretSlack222 0 "$work/slack.body"
/usr/bin/python3 tests/e2e/adaptive_card_check.py teams "$work/teams.body" >"$work/teams-check.txt" ||
  check_failed "the Teams card: $(cat "$work/teams-check.txt")"
/usr/bin/python3 tests/e2e/adaptive_card_check.py slack "$work/slack.body" >"$work/slack-check.txt" ||
  check_failed "the Slack blocks: $(cat "$work/slack-check.txt")"
computer="$(hostname | cut -d. -f1 | cut -c1-15 | tr '[:lower:]' '[:upper:]')"
qw_py webhook_log json "$work/hooks.jsonl" /json/ok/SecretJson333 "$computer" >"$work/json-check.txt" ||
  check_failed "the JSON object: $(cat "$work/json-check.txt")"
auth="$(qw_py webhook_log json "$work/hooks.jsonl" /json/down/SecretDown777 "$computer" || true)"
[ "$auth" = "Bearer SecretToken888" ] || check_failed "the Authorization header: '$auth'"
# The 500 went again on the schedule (2 s), the 429 no sooner than its 4 s.
gap="$(qw_py webhook_log gap "$work/hooks.jsonl" /json/busy/SecretBusy666)"
awk -v g="$gap" 'BEGIN { exit !(g >= 3.9) }' || check_failed "429 tried again after ${gap} s, before its Retry-After"
gap="$(qw_py webhook_log gap "$work/hooks.jsonl" /json/down/SecretDown777)"
awk -v g="$gap" 'BEGIN { exit !(g >= 1.9 && g < 3.9) }' || check_failed "500 tried again after ${gap} s, not on the schedule"

# The mail, whatever the webhooks did.
[ "$(ls "$work/mail" | wc -l)" -eq 1 ] || check_failed "$(ls "$work/mail" | wc -l) mails, expected 1"

# The entries: each failure names its target, step and status; the late
# deliveries are told; no secret anywhere.
qw_entries "$work/events.json" >"$work/entries.txt"
expect_entry() { grep -q -- "$1" "$work/entries.txt" || check_failed "no entry with '$1'"; }
expect_entry 'WEBHOOK4 (JSON) に警告を送信できませんでした: HTTP 400: status 400\\nサーバーが拒否したため再送しません。'
expect_entry 'WEBHOOK5 (JSON) に警告を送信できませんでした: HTTP 404: status 404\\nサーバーが拒否したため再送しません。'
expect_entry 'WEBHOOK6 (JSON) に警告を送信できませんでした: HTTP 429'
expect_entry 'WEBHOOK7 (JSON) に警告を送信できませんでした: HTTP 500: status 500\\n2 秒後に再送します。'
expect_entry 'WEBHOOK8 (JSON) に警告を送信できませんでした: HTTP 302: リダイレクトには従いません: status 302\\nサーバーが拒否したため再送しません。'
expect_entry 'WEBHOOK9 (JSON) に警告を送信できませんでした: TLS: '
expect_entry '通知先 WEBHOOK6 に警告を遅れて送信しました'
expect_entry '通知先 WEBHOOK7 に警告を遅れて送信しました'
grep -q 'second line' "$work/entries.txt" && check_failed "an entry quotes more than the answer's first line"
for secret in SecretTeams111 SecretSlack222 SecretJson333 SecretBad444 SecretGone555 SecretBusy666 SecretDown777 \
  SecretMoved999 SecretCert000 SecretToken888; do
  grep -q "$secret" "$work/entries.txt" "$work/host.err" && check_failed "$secret in an entry"
  grep -q "$secret" "$work/status.ini" && check_failed "$secret in status.ini"
done
# The state: every channel, the one behind the wrong certificate alone
# pending; the mail's own sections as before.
for n in 1 2 3 4 5 6 7 8 9; do grep -q "^\[CHANNEL.WEBHOOK$n\]" "$work/status.ini" || check_failed "no [CHANNEL.WEBHOOK$n]"; done
[ "$(grep -c PENDINGKIND "$work/status.ini")" -eq 1 ] || check_failed "pending channels: $(grep -c PENDINGKIND "$work/status.ini")"
sed -n '/^\[CHANNEL.WEBHOOK9\]/,/^\[/p' "$work/status.ini" | grep -q PENDINGKIND=alert || check_failed "WEBHOOK9 not pending"
grep -q '^\[PENDINGALERT\]' "$work/status.ini" && check_failed "the mail still pending"
grep -A2 '^\[CHANNEL.WEBHOOK7\]' "$work/status.ini" | grep -q 'DELIVERED=1' || check_failed "WEBHOOK7 not recorded delivered"
qw_sanitizer_clean "$work/host.err"

[ "$failures" -eq 0 ] || fail "$failures checks failed"
echo "webhook_posix: OK"
