#!/usr/bin/env bash
# The mail fault matrix (tests/e2e/fault_matrix.py) on the native one-shot
# host: every case in a folder of its own with a test SMTP server of its own
# on its own port, in parallel. For each it checks the exit code (0: the
# mail reached every recipient, 2: it failed or reached only some), the
# entries (the warning with the report, then exactly one error entry naming
# the step and the server's reply or the reason), the time the check took,
# what the server received and that the sanitizers stayed quiet.
#
#   QW_NATIVE_BIN   folder of QuotawardenService, smtp_test_server, smtp_send
#   QW_CASES        run only the cases named (blank separated)
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init fault_matrix_posix
qw_need "$native_bin/QuotawardenService" "$native_bin/smtp_test_server" "$native_bin/smtp_send"
qw_py fault_matrix posix "$work"
