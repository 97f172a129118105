#!/usr/bin/env bash
# The one-shot host on settings files that are damaged or hold values out of
# range: a file that does not load ends the run with exit 1 and the error on
# stderr naming the key and its value ("[DRIVE] C=1 MB"), writes no entry and
# sends nothing; a file that loads runs the check. Never a crash, a sanitizer
# report or a hang. Cases run in parallel, each in a folder of its own.
#
#   QW_NATIVE_BIN   folder of QuotawardenService and smtp_test_server
#   QW_CASES        run only these cases (names separated by "|")
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init settings_abuse_posix
qw_need "$native_bin/QuotawardenService" "$native_bin/smtp_test_server"
qw_py settings_abuse_posix "$work"
