#!/usr/bin/env bash
# Webhook faults as networks deliver them, with the one-shot host (--once)
# and the test command (--test-mail) against loopback HTTPS receivers:
#   - through tinyproxy, named by the target's PROXY key and by https_proxy;
#   - at once: a proxy that is not there (CONNECT), a server that trickles
#     its answer (ended by --mail-deadline), a certificate from a CA nobody
#     trusts (TLS, no request), beside a target that takes the alert: it is
#     delivered, the run ends within the deadline, each failure waits in
#     status.ini on its own;
#   - a computer name with quotes, a backslash, a control character and the
#     chat services' markup (a host name of a UTS namespace of its own),
#     read back from every kind;
#   - --test-mail: every target's outcome on a line of its own, exit 1 when
#     one fails, 0 when all go; with the mail too;
#   - no secret part of a URL in any output.
if [ -z "${QW_HOOKS_NS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "webhook_faults_posix: needs root for a host name of its own" >&2; exit 1; }
  exec unshare -u env QW_HOOKS_NS=1 bash "$0" "$@"
fi
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init webhook_faults_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService" "$bin/smtp_test_server"
command -v tinyproxy >/dev/null || fail "tinyproxy is missing"
QW_FAIL_SHOW="$work/*/out.txt $work/*/err.txt $work/*/events.json $work/*.txt $work/tinyproxy/tinyproxy.log"
source tests/e2e/lib/http_peers.sh
failures=0
check_failed() {
  echo "webhook_faults_posix: FAIL $*" >&2
  failures=$((failures + 1))
}

qw_http_certs "$work"
unset https_proxy HTTPS_PROXY http_proxy HTTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY SSL_CERT_DIR CURL_CA_BUNDLE
export SSL_CERT_FILE="$work/ca.crt"
qw_tinyproxy "$work"
qw_spawn "$work/receiver.txt" /usr/bin/python3 tests/e2e/webhook_receiver.py "$work/hookport" "$work/hooks.jsonl" \
  "$work/server.crt" "$work/server.key" \
  /json/px/SecretProxyKey1=200 /json/env/SecretProxyEnv2=200 /json/ok/SecretFine3=200 /json/slow/SecretSlow4=trickle \
  /json/never/SecretNever5=200 /teams/n/SecretNameT6=200 /slack/n/SecretNameS7=200 /json/n/SecretNameJ8=200 \
  /teams/t/SecretTestT9=200 /slack/t/SecretTestS10=200 /json/t/SecretTestJ11=404
qw_spawn "$work/untrusted.txt" /usr/bin/python3 tests/e2e/webhook_receiver.py "$work/badport" "$work/untrusted.jsonl" \
  "$work/unknown-leaf.crt" "$work/server.key" /json/untrusted/SecretUntrusted12=200
qw_wait_file "$work/hookport" 10 || fail "the receiver did not start: $(cat "$work/receiver.txt")"
qw_wait_file "$work/badport" 10 || fail "the untrusted receiver did not start: $(cat "$work/untrusted.txt")"
touch "$work/hooks.jsonl" "$work/untrusted.jsonl"
hook="https://localhost:$(cat "$work/hookport")"
shown="https://localhost:$(cat "$work/hookport")"
closed_port="$(qw_free_port)"

count() { qw_py webhook_log count "$work/hooks.jsonl" "$1"; }
now() { date +%s.%N; }
# run NAME COMMAND [ARGS]: the host on the settings in $work/NAME/Drivewarden.ini;
# its exit code in $rc, its time in $took.
run() {
  local name="$1"; shift
  local start; start="$(now)"
  rc=0
  "$bin/QuotawardenService" "$@" --windir="$work/$name" --eventlog="$work/$name/events.json" \
    >"$work/$name/out.txt" 2>"$work/$name/err.txt" || rc=$?
  took="$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')"
  qw_entries "$work/$name/events.json" >"$work/$name/entries.txt"
}
# settings NAME [WEBHOOK lines ...]: C short (99 %), mail off, the targets.
settings() {
  local name="$1"; shift
  mkdir -p "$work/$name"
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n[DRIVE]\r\nC=99%%\r\n' >"$work/$name/Drivewarden.ini"
  local n=0 line
  for line in "$@"; do
    n=$((n + 1))
    printf '[WEBHOOK%d]\r\n%b\r\n' "$n" "$line" >>"$work/$name/Drivewarden.ini"
  done
}
entry() { grep -q -- "$2" "$work/$1/entries.txt" || check_failed "$1: no entry with '$2'"; }

# Through the proxy: named by PROXY, then by https_proxy.
settings proxy-key "KIND=JSON\r\nURL=$hook/json/px/SecretProxyKey1\r\nPROXY=127.0.0.1:$proxy_port"
run proxy-key --once --mail-deadline=10
[ "$rc" -eq 0 ] || check_failed "PROXY: exit $rc"
[ "$(count /json/px/SecretProxyKey1)" -eq 1 ] || check_failed "PROXY: $(count /json/px/SecretProxyKey1) requests"
[ "$(qw_proxy_connects "$work")" -eq 1 ] || check_failed "PROXY: $(qw_proxy_connects "$work") tunnels, expected 1"
settings proxy-env "KIND=JSON\r\nURL=$hook/json/env/SecretProxyEnv2"
https_proxy="http://127.0.0.1:$proxy_port" run proxy-env --once --mail-deadline=10
[ "$rc" -eq 0 ] || check_failed "https_proxy: exit $rc"
[ "$(count /json/env/SecretProxyEnv2)" -eq 1 ] || check_failed "https_proxy: $(count /json/env/SecretProxyEnv2) requests"
[ "$(qw_proxy_connects "$work")" -eq 2 ] || check_failed "https_proxy: $(qw_proxy_connects "$work") tunnels, expected 2"
echo "[$SECONDS s] proxies done"

# Three faults at once beside a target that works.
settings faults "KIND=JSON\r\nURL=$hook/json/ok/SecretFine3" \
  "KIND=JSON\r\nURL=$hook/json/never/SecretNever5\r\nPROXY=127.0.0.1:$closed_port" \
  "KIND=JSON\r\nURL=$hook/json/slow/SecretSlow4" \
  "KIND=JSON\r\nURL=https://localhost:$(cat "$work/badport")/json/untrusted/SecretUntrusted12"
run faults --once --mail-deadline=3
[ "$rc" -eq 2 ] || check_failed "faults: exit $rc, expected 2"
awk -v t="$took" 'BEGIN { exit !(t >= 2.5 && t < 8) }' || check_failed "faults: the run took $took s with a 3 s deadline"
[ "$(count /json/ok/SecretFine3)" -eq 1 ] || check_failed "faults: the working target got $(count /json/ok/SecretFine3)"
[ "$(count /json/never/SecretNever5)" -eq 0 ] || check_failed "faults: a request passed a proxy that is not there"
[ "$(qw_py webhook_log count "$work/untrusted.jsonl" /json/untrusted/SecretUntrusted12)" -eq 0 ] ||
  check_failed "faults: a request passed an untrusted certificate"
entry faults 'WEBHOOK2 (JSON) に警告を送信できませんでした: CONNECT: '
entry faults 'WEBHOOK3 (JSON) に警告を送信できませんでした: HTTP: '
entry faults 'WEBHOOK4 (JSON) に警告を送信できませんでした: TLS: '
grep -q WEBHOOK1 "$work/faults/entries.txt" && check_failed "faults: an entry about the target that worked"
for n in 2 3 4; do
  grep -q "WEBHOOK$n" "$work/faults/err.txt" || check_failed "faults: WEBHOOK$n not on stderr"
  sed -n "/^\[CHANNEL.WEBHOOK$n\]/,/^\[/p" "$work/faults/status.ini" | grep -q PENDINGKIND=alert ||
    check_failed "faults: WEBHOOK$n not pending"
done
sed -n '/^\[CHANNEL.WEBHOOK1\]/,/^\[/p' "$work/faults/status.ini" | grep -q PENDINGKIND &&
  check_failed "faults: WEBHOOK1 pending"
echo "[$SECONDS s] faults done ($took s)"

# A computer name that could break a body, read back from every kind.
/usr/bin/python3 -c 'import socket; socket.sethostname(b"q\"b\\s\x01<&>t.example")' ||
  fail "the host name of the namespace cannot be set"
settings names "KIND=TEAMS\r\nURL=$hook/teams/n/SecretNameT6" "KIND=SLACK\r\nURL=$hook/slack/n/SecretNameS7" \
  "KIND=JSON\r\nURL=$hook/json/n/SecretNameJ8"
run names --once --mail-deadline=10
[ "$rc" -eq 0 ] || check_failed "names: exit $rc"
/usr/bin/python3 tests/e2e/webhook_faults_check.py names "$work/hooks.jsonl" "$(printf 'Q"B\\S\001<&>T')" \
  /teams/n/SecretNameT6 /slack/n/SecretNameS7 /json/n/SecretNameJ8 >"$work/names.txt" ||
  check_failed "names: $(cat "$work/names.txt")"
qw_py webhook_log body "$work/hooks.jsonl" /teams/n/SecretNameT6 0 "$work/names-teams.json"
qw_py webhook_log body "$work/hooks.jsonl" /slack/n/SecretNameS7 0 "$work/names-slack.json"
/usr/bin/python3 tests/e2e/adaptive_card_check.py teams "$work/names-teams.json" >"$work/names-card.txt" ||
  check_failed "names: the Teams card: $(cat "$work/names-card.txt")"
/usr/bin/python3 tests/e2e/adaptive_card_check.py slack "$work/names-slack.json" >"$work/names-blocks.txt" ||
  check_failed "names: the Slack blocks: $(cat "$work/names-blocks.txt")"
hostname test-host

# The test command: every target's outcome, then the mail beside one.
settings testmail "KIND=TEAMS\r\nURL=$hook/teams/t/SecretTestT9" "KIND=SLACK\r\nURL=$hook/slack/t/SecretTestS10" \
  "KIND=JSON\r\nURL=$hook/json/t/SecretTestJ11"
run testmail --test-mail --mail-deadline=10
[ "$rc" -eq 1 ] || check_failed "--test-mail with a target that refuses: exit $rc"
out="$work/testmail/out.txt"
grep -qx "WEBHOOK1 (TEAMS) $shown: 送信しました (HTTP 200)" "$out" || check_failed "--test-mail: no line for WEBHOOK1"
grep -qx "WEBHOOK2 (SLACK) $shown: 送信しました (HTTP 200)" "$out" || check_failed "--test-mail: no line for WEBHOOK2"
grep -qx "WEBHOOK3 (JSON) $shown: 送信できませんでした: HTTP 404: status 404" "$out" ||
  check_failed "--test-mail: no line for WEBHOOK3"
grep -q "SMTP (SMTP サーバー) が空なので" "$out" || check_failed "--test-mail: the skipped mail is not said"
[ "$(/usr/bin/python3 tests/e2e/webhook_faults_check.py kind "$work/hooks.jsonl" /json/t/SecretTestJ11)" = test ] ||
  check_failed "--test-mail: the JSON object is not a test"
qw_py webhook_log body "$work/hooks.jsonl" /teams/t/SecretTestT9 0 "$work/test-teams.json"
/usr/bin/python3 tests/e2e/adaptive_card_check.py teams "$work/test-teams.json" >"$work/test-card.txt" ||
  check_failed "--test-mail: the Teams card: $(cat "$work/test-card.txt")"
qw_test_server "$work/smtp"
settings testmail2 "KIND=TEAMS\r\nURL=$hook/teams/t/SecretTestT9"
printf '[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\n' "$server_port" \
  >>"$work/testmail2/Drivewarden.ini"
run testmail2 --test-mail --mail-deadline=10
[ "$rc" -eq 0 ] || check_failed "--test-mail with the mail and a target that takes it: exit $rc"
grep -qx "送信しました" "$work/testmail2/out.txt" || check_failed "--test-mail: the mail's outcome"
grep -qx "WEBHOOK1 (TEAMS) $shown: 送信しました (HTTP 200)" "$work/testmail2/out.txt" ||
  check_failed "--test-mail: the target's outcome beside the mail"
[ "$(ls "$work/smtp/mail" | wc -l)" -eq 1 ] || check_failed "--test-mail: $(ls "$work/smtp/mail" | wc -l) mails"
[ "$(count /teams/t/SecretTestT9)" -eq 2 ] || check_failed "--test-mail: $(count /teams/t/SecretTestT9) test cards"

# No secret anywhere the product wrote.
for f in "$work"/*/out.txt "$work"/*/err.txt "$work"/*/entries.txt "$work"/*/status.ini; do
  [ -f "$f" ] || continue
  grep -H -o 'Secret[A-Za-z]*[0-9]*' "$f" && check_failed "a secret in $f"
done
for f in "$work"/*/err.txt; do qw_sanitizer_clean "$f"; done

[ "$failures" -eq 0 ] || fail "$failures checks failed"
echo "webhook_faults_posix: OK ($SECONDS s)"
