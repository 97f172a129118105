#!/usr/bin/env bash
# The mail fault matrix (tests/e2e/fault_matrix.py) on the installed Windows
# service under Wine's Service Control Manager: one prefix, the service
# installed once, then for each case marked for Wine Drivewarden.ini in the
# prefix's Windows folder, a test SMTP server of its own scripted for the
# fault, sc start, the entries, sc stop. Then `sc control Drivewarden 128`
# runs a check at once, and `sc stop` during the first check's mail wait (a
# silent server) stops the service within 5 s, five times in a row.
#
# The prefix is a copy of the booted template when scripts/test made one.
# Wine keeps no event log: the service writes its entries to the file named
# by QUOTAWARDEN_EVENTLOG (tests/e2e/lib/wine.sh). The service's silence
# time-out is 60 s here, so there are no silence cases besides the stop ones.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init fault_matrix_wine build/e2e-faults-wine
source tests/e2e/lib/wine.sh
qw_need "$win64_bin/QuotawardenService.exe" "$win64_bin/service_control.exe" "$native_bin/smtp_test_server"

qw_wine_setup copy
qw_service_setup Quotawarden
# Wine's sc.exe has no "control" command: the same call from the tools'
# service_control.exe.
cp "$win64_bin/service_control.exe" "$WINEPREFIX/drive_c/Quotawarden/sc_control.exe"
# Installed with no settings file yet: an automatic start (on a new server)
# checks with no thresholds and writes nothing that matters.
qw_service_install
qw_py fault_matrix wine "$work" "$WINEPREFIX"
