#!/usr/bin/env bash
# The alert mail and the test mail with AUTH=OAUTH2 from the native host to
# the real OAuth peers (oidc-provider over HTTPS, the SMTP peer that checks
# each token over STARTTLS) and tinyproxy: each credential delivered, one
# token for several alerts, a token expired or revoked fetched anew, the
# token endpoint's failures as TOKEN (final only for a refused client), a
# token refused by SMTP as AUTH with its decoded challenge, and a stop during
# the fetch honoured within seconds (see oauth_mail_posix.py).
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init oauth_mail_posix
qw_need "$native_bin/QuotawardenService"
command -v tinyproxy >/dev/null || fail "tinyproxy is not installed: run scripts/setup"
[ -d "$root/build/peers/oauth_server/node_modules/oidc-provider" ] ||
  fail "oidc-provider is not installed in build/peers/oauth_server: run scripts/setup"
qw_py oauth_mail_posix "$work"
