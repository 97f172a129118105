#!/usr/bin/env bash
# The token's life in the installed Windows service under Wine (WinHTTP, the
# machine's trusted roots), against the real peers of tests/peers and
# Debian's tinyproxy; one service, its checks asked for by control 128:
#  - a Google-style service account key (the JWT bearer grant, sub = USER),
#    its token_uri an https://127.0.0.1 URL as the peers write it;
#  - one token request for three alerts; a token that expired or that the
#    SMTP server no longer takes: one more request, delivered;
#  - through tinyproxy named by PROXY= (its log shows the CONNECT);
#  - an unknown token URL (TOKEN with the HTTP status), an endpoint where
#    nothing listens (TOKEN), a token the SMTP server refuses (AUTH with the
#    decoded challenge): each mail kept for the retry timer.
# An endpoint that stays silent is oauth_token_silent_wine.sh. The driver is
# oauth_token_wine.py; every wine command writes to files.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init oauth_token_wine
source tests/e2e/lib/wine.sh
qw_need "$win64_bin/QuotawardenService.exe" "$win64_bin/http_probe.exe" "$win64_bin/service_control.exe"
command -v tinyproxy >/dev/null || fail "tinyproxy is not installed: run scripts/setup"
[ -d "$root/build/peers/oauth_server/node_modules/oidc-provider" ] ||
  fail "oidc-provider is not installed in build/peers/oauth_server: run scripts/setup"
# Wine's WinHTTP would take a proxy from these when PROXY= names none.
unset https_proxy HTTPS_PROXY http_proxy HTTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
QW_FAIL_SHOW="$work/*.txt $work/events.json $work/peers/oauth.log $work/peers/smtp.log $work/tinyproxy.log"

qw_wine_setup copy
qw_service_setup Quotawarden
cp "$win64_bin/http_probe.exe" "$WINEPREFIX/drive_c/Quotawarden/"
# Wine's sc.exe has no "control" command: the same call from the tools'
# service_control.exe.
cp "$win64_bin/service_control.exe" "$WINEPREFIX/drive_c/Quotawarden/sc_control.exe"
qw_service_install
qw_py oauth_token_wine "$work" "$WINEPREFIX" tokens
