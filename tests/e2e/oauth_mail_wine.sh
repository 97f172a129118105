#!/usr/bin/env bash
# The Windows program's test mail (/TESTMAIL) with AUTH=OAUTH2 under Wine,
# against the real OAuth peers (oidc-provider over HTTPS, the token-checking
# SMTP peer over STARTTLS) whose test CA is among the prefix's machine roots:
# the token fetched by WinHTTP with a client secret, the token step in the
# transcript and the login masked; a wrong secret is the TOKEN step's
# invalid_client; a service account's key file, whose token_uri names the
# peer by its address, is delivered by the JWT bearer grant.
#
# Every wine command writes to files, never to a pipe.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init oauth_mail_wine
source tests/e2e/lib/wine.sh
exe="$win64_bin/QuotawardenService.exe"
qw_need "$exe" "$win64_bin/http_probe.exe"
[ -d "$root/build/peers/oauth_server/node_modules/oidc-provider" ] ||
  fail "oidc-provider is not installed in build/peers/oauth_server: run scripts/setup"
QW_FAIL_SHOW="$work/*.out $work/events.json $work/smtp.log $work/oauth.log"
# Wine's WinHTTP would take a proxy from these when the machine has none.
unset https_proxy HTTPS_PROXY http_proxy HTTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

qw_spawn "$work/peers.out" env PYTHONPATH="$root/tests/e2e" /usr/bin/python3 tests/e2e/oauth_peers_serve.py "$work"
qw_wait_file "$work/peers.env" 60 || fail "the OAuth peers did not start: $(cat "$work/peers.out")"
source "$work/peers.env"

if [ -n "${QW_WINE_TEMPLATE:-}" ]; then qw_wine_setup copy; else qw_wine_setup; fi
winpath() { echo "Z:${1//\//\\}"; }
timeout 60 wine "$win64_bin/http_probe.exe" --trust "$(winpath "$work/ca.pem")" \
  >"$work/trust.out" 2>"$work/trust.err" </dev/null || true
grep -aqi "fail\|cannot" "$work/trust.err" && fail "the test CA was not added: $(cat "$work/trust.err")"
export QUOTAWARDEN_EVENTLOG="$(winpath "$work/events.json")"
ini="$WINEPREFIX/drive_c/windows/Drivewarden.ini"

settings() {  # the mail keys for the peers, then the OAuth lines given
  {
    printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\n' "$smtp_port"
    printf 'SECURITY=STARTTLS\r\nMAILFROM=warden-wine@example.jp\r\nMAILTO=ops@example.jp\r\n'
    printf 'USER=alerts@example.jp\r\nAUTH=OAUTH2\r\n'
    for line in "$@"; do printf '%s\r\n' "$line"; done
  } >"$ini"
}
test_mail() {  # test_mail NAME: /TESTMAIL, its output in NAME.out, exit in $rc
  rc=0
  timeout 120 wine "$exe" /TESTMAIL >"$work/$1.out" 2>"$work/$1.err" </dev/null || rc=$?
  echo "[$SECONDS s] $1: exit $rc"
}
mails() { grep -c '^mail warden-wine@' "$work/smtp.log" || true; }

settings "TOKENURL=$token_url" "SCOPE=https://outlook.office365.com/.default" "CLIENTID=post-client" \
  'CLIENTSECRET=s3cret+/=~ &x'
test_mail secret
[ "$rc" -eq 0 ] || fail "client secret: exit $rc"
grep -aq "^\* TOKEN $token_url: " "$work/secret.out" || fail "client secret: no token step"
grep -aq "AUTH XOAUTH2 \*\*\*\*" "$work/secret.out" || fail "client secret: the AUTH line is not masked"
if grep -aq "eyJ" "$work/secret.out"; then fail "client secret: a token in the transcript"; fi
[ "$(mails)" -eq 1 ] || fail "client secret: $(mails) mails at the peer"

settings "SERVICEACCOUNT=$(winpath "$work/service_account.json")"
test_mail service-account
[ "$rc" -eq 0 ] || fail "service account: exit $rc"
grep -aq "^\* TOKEN $google_token_url: " "$work/service-account.out" || fail "service account: no token step"
[ "$(mails)" -eq 2 ] || fail "service account: $(mails) mails at the peer, expected 2"
grep -q "^token 200 .* urn:ietf:params:oauth:grant-type:jwt-bearer$" "$work/oauth.log" ||
  fail "service account: no JWT bearer grant at the peer"

settings "TOKENURL=$token_url" "SCOPE=https://outlook.office365.com/.default" "CLIENTID=post-client" \
  'CLIENTSECRET=wrong'
test_mail wrong
[ "$rc" -eq 1 ] || fail "wrong secret: exit $rc"
grep -aq "TOKEN: invalid_client" "$work/wrong.out" || fail "wrong secret: no TOKEN: invalid_client"
[ "$(mails)" -eq 2 ] || fail "wrong secret: a mail went out"
echo "oauth_mail_wine: passed"
