#!/usr/bin/env bash
# The installed Windows service under Wine's Service Control Manager with the
# test SMTP server down at its first check: the failed alert is one error
# entry, the server starts a little later, and the alert arrives on the
# service's retry timer (its first delay shortened to 3 s by the start
# parameter /RETRYFIRST=3 that this harness passes to StartService) with the
# late-delivery entry; status.ini in ProgramData keeps no pending mail after.
#
# Every wine command writes to files, never to a pipe.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init retry_wine build/e2e-retry-wine
source tests/e2e/lib/wine.sh
server_bin="$native_bin/smtp_test_server"
qw_need "$win64_bin/QuotawardenService.exe" "$server_bin"
QW_FAIL_SHOW="$work/*.txt $work/*.log $work/events.json $work/status.ini"
mkdir -p "$work/mail"

# A free port, with nobody listening on it at the first check.
port="$(qw_free_port)"

qw_wine_setup copy
qw_service_setup Quotawarden
printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\n' \
  "$port" >"$WINEPREFIX/drive_c/windows/Drivewarden.ini"

wine "$exe" /INSTALL /SILENT >"$work/install.txt" 2>&1 </dev/null || fail "/INSTALL /SILENT failed"
wine sc start Drivewarden /RETRYFIRST=3 >"$work/start.txt" 2>&1 </dev/null || true
if grep -q 1060 "$work/start.txt"; then
  # Wine's service manager may not see a service registered since it started;
  # a new server starts the automatic-start service by itself (without the
  # parameter): stop it and start it again with the parameter.
  qw_wine_stop
  wineserver -p >/dev/null 2>&1 </dev/null
  wine sc query Drivewarden >"$work/query.txt" 2>&1 </dev/null || true
  for _ in $(seq 30); do grep -q '"error"' "$events" 2>/dev/null && break; sleep 1; done
  wine sc stop Drivewarden >"$work/stop-auto.txt" 2>&1 </dev/null || true
  for _ in $(seq 30); do
    wine sc query Drivewarden >"$work/query.txt" 2>&1 </dev/null || true
    grep -q STOPPED "$work/query.txt" && break
    sleep 1
  done
  wine sc start Drivewarden /RETRYFIRST=3 >"$work/start.txt" 2>&1 </dev/null || true
fi
# The first check's mail fails: its error entry names the retry in 3 s.
for _ in $(seq 60); do grep -q '3 秒後に再送します' "$events" 2>/dev/null && break; sleep 1; done
grep -q '3 秒後に再送します' "$events" || fail "no failed first attempt with the shortened retry"

qw_spawn "$work/server.log" "$server_bin" --port "$port" --maildir "$work/mail"
for _ in $(seq 60); do ls "$work/mail"/*.eml >/dev/null 2>&1 && break; sleep 1; done
ls "$work/mail"/*.eml >/dev/null 2>&1 || fail "the alert did not arrive on the retry"
for _ in $(seq 20); do grep -q '遅れて送信しました' "$events" && break; sleep 0.5; done
wine sc stop Drivewarden >"$work/stop.txt" 2>&1 </dev/null || true
# Stopped is reported once the state is written.
qw_sc_wait STOPPED 30 || fail "not STOPPED within 30 s of sc stop"
cp "$WINEPREFIX/drive_c/ProgramData/Quotawarden/status.ini" "$work/status.ini" 2>/dev/null || true
wine "$exe" /UNINSTALL /SILENT >"$work/uninstall.txt" 2>&1 </dev/null || true

qw_py checks/retry_wine "$work" || fail "the mail, the entries or the state are not right"
