#!/usr/bin/env bash
# The installed Windows service, started through Wine's Service Control
# Manager, delivers the alert mail of its first check to the test SMTP server
# on loopback; Python's email package reads it back to the report. Wine runs
# in an English locale, so nothing may depend on code page 932 being the
# system's.
#
# Every wine command writes to files, never to a pipe (Wine's system
# processes inherit the handles of the command that starts them).
# Wine in an English locale (ANSI code page 1252): the mail must read in
# Japanese whatever the system's code page.
export LANG=en_US.UTF-8 LC_ALL=
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init alert_mail_wine build/e2e-alert-wine
source tests/e2e/lib/wine.sh
qw_need "$win64_bin/QuotawardenService.exe" "$native_bin/smtp_test_server"

qw_test_server "$work"
port="$server_port"

qw_wine_setup copy
qw_service_setup Quotawarden
printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp,ops@example.jp\r\nMAILCC=boss@example.jp\r\n' \
  "$port" >"$WINEPREFIX/drive_c/windows/Drivewarden.ini"

wine "$exe" /INSTALL /SILENT >"$work/install.txt" 2>&1 </dev/null || fail "/INSTALL /SILENT failed"
wine sc start Drivewarden >"$work/start.txt" 2>&1 </dev/null || true
if grep -q 1060 "$work/start.txt"; then
  # Wine's service manager may not see a service registered since it started;
  # a new server starts the automatic-start service by itself.
  qw_wine_stop
  wineserver -p >/dev/null 2>&1 </dev/null
  wine sc query Drivewarden >"$work/query.txt" 2>&1 </dev/null || true
fi
qw_wait_for 60 compgen -G "$work/mail/*.eml" >/dev/null || fail "no mail arrived"
wine sc stop Drivewarden >"$work/stop.txt" 2>&1 </dev/null || true
qw_sc_wait STOPPED 30 || fail "not STOPPED within 30 s of sc stop"
wine "$exe" /UNINSTALL /SILENT >"$work/uninstall.txt" 2>&1 </dev/null || true

qw_py checks/alert_mail_wine "$work" || fail "the mail or the entry is not right"
