#!/usr/bin/env bash
# The POSIX foreground host stopped while its first check waits for the mail
# server: the server is silent at the greeting or after DATA, SIGTERM comes
# once the server has gone silent, and the host must end within 5 s with exit
# 0, having written the check's warning and one error entry that says
# "cancelled by stop" (20 runs, several at a time). Then SIGHUP: each one runs
# a check at once (one more entry) and the host goes on running.
#
#   QW_NATIVE_BIN   folder of QuotawardenService and smtp_test_server
#   QW_STOP_RUNS    number of stop runs (default 20)
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init stop_posix
qw_need "$native_bin/QuotawardenService" "$native_bin/smtp_test_server"
qw_py stop_posix "$work"
