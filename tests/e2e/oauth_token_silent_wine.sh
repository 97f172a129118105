#!/usr/bin/env bash
# The installed Windows service under Wine when the token endpoint accepts
# the connection and never answers: the fetch ends at the mail's silence
# bound, 20 s for this start by /MAILTIMEOUT (TOKEN, the mail kept for
# the retry timer), and a stop during the
# next fetch ends the service within 5 s. The driver is oauth_token_wine.py
# (part "silent"); every wine command writes to files.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init oauth_token_silent_wine
source tests/e2e/lib/wine.sh
qw_need "$win64_bin/QuotawardenService.exe" "$win64_bin/http_probe.exe" "$win64_bin/service_control.exe"
[ -d "$root/build/peers/oauth_server/node_modules/oidc-provider" ] ||
  fail "oidc-provider is not installed in build/peers/oauth_server: run scripts/setup"
unset https_proxy HTTPS_PROXY http_proxy HTTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
QW_FAIL_SHOW="$work/*.txt $work/events.json $work/peers/oauth.log $work/peers/smtp.log"

qw_wine_setup copy
qw_service_setup Quotawarden
cp "$win64_bin/http_probe.exe" "$WINEPREFIX/drive_c/Quotawarden/"
# Wine's sc.exe has no "control" command: the same call from the tools'
# service_control.exe.
cp "$win64_bin/service_control.exe" "$WINEPREFIX/drive_c/Quotawarden/sc_control.exe"
qw_service_install
qw_py oauth_token_wine "$work" "$WINEPREFIX" silent
