#!/usr/bin/env bash
# The token client's pieces against the real OAuth peers, with curl in place
# of the HTTP client: the request bodies it builds (client secret, signed
# client assertion, a service account's JWT bearer grant) earn tokens from
# the authorization server; its reading of the answers (a token, a wrong
# secret as final invalid_client, a scope refused, an unknown URL); its
# XOAUTH2 and OAUTHBEARER initial responses log in at the SMTP peer; and a
# refused token's challenge is decoded and answered as each mechanism wants.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init oauth_client_posix
qw_need "$native_bin/oauth_probe"
# The authorization server is npm's oidc-provider, installed by scripts/setup.
[ -d "$root/build/peers/oauth_server/node_modules/oidc-provider" ] ||
  fail "oidc-provider is not installed in build/peers/oauth_server: run scripts/setup"
qw_py oauth_client_posix "$work"
