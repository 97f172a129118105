#!/usr/bin/env bash
# The OAuth 2.0 login of the installed Windows service under Wine (WinHTTP,
# the machine's certificate stores, DPAPI), against the real peers of
# tests/peers: oidc-provider over HTTPS, whose test CA is put among the
# prefix's machine roots, and the SMTP peer that checks each token's
# signature, audience, scope, mailbox and expiry over STARTTLS.
#  - a client secret stored with /SETSECRET CLIENTSECRET: the alert is
#    delivered by XOAUTH2 after one token request;
#  - a certificate put into LocalMachine\My, named by its thumbprint: the
#    token comes by a signed client assertion, the alert is delivered;
#  - a wrong secret: one error entry naming TOKEN and invalid_client, said
#    to be final, and no second token request.
# The driver is oauth_service_wine.py; every wine command writes to files.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init oauth_service_wine build/e2e-oauth-service-wine
source tests/e2e/lib/wine.sh
qw_need "$win64_bin/QuotawardenService.exe" "$win64_bin/http_probe.exe" "$win64_bin/jws_sign.exe"
[ -d "$root/build/peers/oauth_server/node_modules/oidc-provider" ] ||
  fail "oidc-provider is not installed in build/peers/oauth_server: run scripts/setup"
QW_FAIL_SHOW="$work/*.txt $work/events.json $work/peers/oauth.log $work/peers/smtp.log"

qw_wine_setup copy
qw_service_setup Quotawarden
cp "$win64_bin/http_probe.exe" "$win64_bin/jws_sign.exe" "$WINEPREFIX/drive_c/Quotawarden/"
qw_service_install
qw_py oauth_service_wine "$work" "$WINEPREFIX"
