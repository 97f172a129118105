#!/usr/bin/env bash
# The settings model's restart against the installed service under Wine: the
# service is installed with its own /INSTALL, started through the Service
# Control Manager and runs its first check; then the settings model (driven by
# applet_model_tests.exe with QW_RESTART_E2E set) applies a new interval and
# answers Yes to the restart question. The service must have stopped and
# started again: a second check entry (event ID 5610) appears in the
# QUOTAWARDEN_EVENTLOG file, the service is running, and the file holds the
# new interval.
#
#   RESTART_BIN_DIR   where QuotawardenService.exe and applet_model_tests.exe
#                     are (default build/win64/bin)
#
# Skips (exit 0, printing SKIP) when the service program is missing or has
# no /INSTALL switch.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init restart_wine build/e2e-restart
# Every step's outcome is looked at here: no exit on the first non-zero one.
set +e
bin="$(realpath -m "${RESTART_BIN_DIR:-$win64_bin}")"
service_exe="$bin/QuotawardenService.exe"
driver_exe="$bin/applet_model_tests.exe"

if [ ! -f "$service_exe" ]; then
  echo "SKIP: restart_wine: $service_exe is not built"
  exit 0
fi
qw_need "$driver_exe"

prefix="$work/wine"
events="$work/events.json"
: >"$events"

# The event log file as Windows programs name it (Wine's Z: is the root).
events_w="Z:$(printf '%s' "$events" | tr '/' '\\')"
source tests/e2e/lib/wine.sh
export QUOTAWARDEN_EVENTLOG="$events_w"
# A copy of the booted template prefix when scripts/test made one.
qw_wine_prefix_copy "$prefix" || fail "no copy of the template prefix"

cleanup() {
  timeout 60 wine sc stop Drivewarden >"$work/cleanup-stop.out" 2>&1 </dev/null
  timeout 60 wine "$service_exe" /UNINSTALL /SILENT >"$work/cleanup-uninstall.out" 2>&1 </dev/null
  qw_wine_stop
}
qw_on_exit cleanup
QW_FAIL_SHOW="$events"

check_entries() {  # number of the service's check entries so far
  grep -c '"source":"Drivewarden".*"id":5610' "$events" 2>/dev/null || true
}

at_least_entries() { [ "$(check_entries)" -ge "$1" ]; }
wait_for_entries() {  # wait (90 s at most) until at least $1 check entries are written
  qw_wait_for 90 at_least_entries "$1"
}

# The service reads the event log file's name from its environment, which
# Wine's service manager builds from the registry.
timeout 60 wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
  /v QUOTAWARDEN_EVENTLOG /t REG_SZ /d "$events_w" /f >"$work/reg-env.out" 2>&1 </dev/null

windir="$prefix/drive_c/windows"
printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n' >"$windir/Drivewarden.ini"

echo "== install"
timeout 60 wine "$service_exe" /INSTALL /SILENT >"$work/install.out" 2>"$work/install.err" </dev/null
if ! timeout 60 wine reg query 'HKLM\System\CurrentControlSet\Services\Drivewarden' \
    >"$work/reg-query.out" 2>&1 </dev/null; then
  # A program that does not know the switch at all is not ready for this test.
  if ! grep -aqi 'install' "$service_exe"; then
    echo "SKIP: restart_wine: QuotawardenService.exe has no /INSTALL switch yet"
    exit 0
  fi
  cat "$work/install.out" "$work/install.err"
  fail "QuotawardenService.exe /INSTALL /SILENT did not register the service Drivewarden"
fi

echo "== start and the first check"
# A fresh prefix's service manager may not see a service created in the
# same session; a new session loads the registrations (and starts the
# automatic-start service on its own, so "sc start" may find it running).
qw_wine_stop
qw_wine_prefix "$prefix"
timeout 60 wine sc start Drivewarden >"$work/start.out" 2>&1 </dev/null
wait_for_entries 1 || { cat "$work/start.out"; fail "no check entry after sc start"; }
before="$(check_entries)"
echo "check entries after the start: $before"

echo "== apply a new interval and answer Yes to the restart question"
QW_RESTART_E2E=7 timeout 180 wine "$driver_exe" --gtest_filter='RestartE2E.*' \
  >"$work/driver.out" 2>"$work/driver.err" </dev/null
rc=$?
cat "$work/driver.out"
[ $rc -eq 0 ] || fail "the settings model's restart failed (exit $rc)"
grep -q '\[  PASSED  \] 1 test' "$work/driver.out" || fail "the restart driver did not run"

wait_for_entries $((before + 1)) || fail "no new check entry after the restart"
echo "check entries after the restart: $(check_entries)"

timeout 60 wine sc query Drivewarden >"$work/query.out" 2>&1 </dev/null
grep -q RUNNING "$work/query.out" || { cat "$work/query.out"; fail "the service is not running after the restart"; }
tr -d '\r' <"$windir/Drivewarden.ini" | grep -qx 'INTERVAL=7' || fail "the new interval was not written"

echo "restart_wine: passed"
exit 0
