#!/usr/bin/env bash
# The SMTP login against a real peer (aiosmtpd with an authenticator), with a
# Japanese user name and password saved in the settings file's Shift-JIS:
# both AUTH PLAIN and AUTH LOGIN bring the server the UTF-8 bytes, and a
# server that echoes the login back (its base64 forms, the AUTH PLAIN
# payload) in its replies puts none of it on the --test-mail transcript, in
# the event entries or in status.ini of a --once run.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init auth_login_posix
qw_py auth_login_posix "$root"
