#!/usr/bin/env bash
# The OAuth 2.0 peers themselves, before any product code talks to them:
# the authorization server (oidc-provider over HTTPS with a test CA) issues
# JWT access tokens to clients proving themselves with a secret in the form
# body, by HTTP Basic and by a signed assertion (private_key_jwt), refuses a
# wrong secret as invalid_client, and serves a service account's JWT bearer
# grant (Google's form) at the key file's token_uri; the SMTP peer takes those tokens over
# STARTTLS by XOAUTH2 and OAUTHBEARER from python's smtplib and refuses a
# forged one, one signed by another key, an expired one, one of the wrong
# scope and one for another mailbox, each with the mechanism's JSON
# challenge; it offers no password login, and nothing before STARTTLS.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init oauth_peers_posix
# The authorization server is npm's oidc-provider, installed by scripts/setup.
[ -d "$root/build/peers/oauth_server/node_modules/oidc-provider" ] ||
  fail "oidc-provider is not installed in build/peers/oauth_server: run scripts/setup"
qw_py oauth_peers_posix "$work"
