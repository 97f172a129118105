#!/usr/bin/env bash
# The metrics file of the one-shot host against its real readers: promtool
# check metrics accepts it; node_exporter, started here on a loopback port
# with its textfile collector on the folder, serves our series with the
# values of the check (its entry, status.ini, statvfs) and
# node_textfile_scrape_error 0. Also: the mail failure counter across runs,
# a folder that refuses the file (one error entry, exit code of the check),
# TEXTFILEDIR values that fail the load, and checks against a reader in a
# tight loop that must never see a part of the file (while the same reader
# does catch a writer that is not atomic): the host in the foreground, a
# check on each SIGHUP, 150 checks by default, 1,000 with QW_SLOW=1.
#
#   QW_NATIVE_BIN   folder of QuotawardenService and smtp_test_server
#   QW_CASES        run only these cases (names separated by "|")
#   QW_ROUNDS       checks of the reader-vs-writer case (default 150; 1000
#                   with QW_SLOW=1)
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init metrics_posix
qw_need "$native_bin/QuotawardenService" "$native_bin/smtp_test_server"
for p in promtool prometheus-node-exporter; do
  command -v "$p" >/dev/null || fail "$p is missing (scripts/setup installs it)"
done
qw_py metrics_posix "$work"
