#!/usr/bin/env bash
# QuotawardenService.exe under Wine's Service Control Manager, from a fresh
# prefix: started by hand it writes the dispatcher's failure under its own
# name; /INSTALL /SILENT registers Drivewarden (quoted image path with a
# blank); sc start runs the first check and reaches RUNNING; sc stop reaches
# STOPPED; a settings file that does not convert leaves it stopped with the
# start failure entry and the Win32 exit code 0 (so that the failure actions
# do not restart it); /UNINSTALL /SILENT removes the registration. /INSTALL
# registers both event sources with the program as message file (every ID
# formats to the entry's text alone) and gives the service its failure
# actions (Wine keeps none of them and refuses the failure-actions flag: the
# install still succeeds, with a warning entry that says so); /UNINSTALL
# removes them all.
#
# Wine's system processes inherit the handles of the command that starts
# them, so every wine command writes to files here, never to a pipe.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init service_wine build/e2e-service-wine
source tests/e2e/lib/wine.sh
exe_built="$win64_bin/QuotawardenService.exe"
probe="$win64_bin/install_probe.exe"
qw_need "$exe_built" "$probe"

qw_wine_setup copy
events="$work/events.json"
qw_wine_service_eventlog "$events" "$work/reg-env.txt" || fail "reg add"
export QUOTAWARDEN_EVENTLOG="$events_win"

dir="$WINEPREFIX/drive_c/Program Files/Quotawarden"
mkdir -p "$dir"
cp "$exe_built" "$dir/"
exe='C:\Program Files\Quotawarden\QuotawardenService.exe'
ini="$WINEPREFIX/drive_c/windows/Drivewarden.ini"
printf '[WARNING]\r\nINTERVAL=1\r\n[DRIVE]\r\nC=1%%\r\n' >"$ini"

state() { qw_sc_state; }
wait_state() {  # wait_state STATE SECONDS
  qw_sc_wait "$1" "$2"
}
entries() { qw_entries "$events"; }

# Started by hand, without a switch: no box, one entry under the program's name.
rc=0
wine "$exe" >"$work/byhand.txt" 2>&1 </dev/null || rc=$?
[ "$rc" -ne 0 ] || fail "started by hand: exit code 0"
entries >"$work/entries.txt"
[ "$(wc -l <"$work/entries.txt")" -eq 1 ] || fail "started by hand: not one entry"
grep -q '^QuotawardenService.exe|error|0|.' "$work/entries.txt" || fail "no dispatcher failure entry"
rm -f "$events"

# Register, silently.
wine "$exe" /INSTALL /SILENT >"$work/install.txt" 2>&1 </dev/null || fail "/INSTALL /SILENT failed"
why="$(qw_wine_service_registered "$work")" || fail "$why"
entries >"$work/entries.txt"
grep -q '^QuotawardenService.exe|warning|0|このシステムはサービスの回復の設定 SERVICE_CONFIG_FAILURE_ACTIONS_FLAG を受け付けません (ChangeServiceConfig2: ' \
  "$work/entries.txt" || fail "no warning entry for the failure-actions flag Wine refuses"
[ "$(wc -l <"$work/entries.txt")" -eq 1 ] || fail "/INSTALL wrote more than the flag's warning"
rm -f "$events"
# Both event sources name the program as their message file, and every ID
# the service reports formats to its text alone.
wine "$probe" messages Drivewarden QuotawardenService.exe >"$work/probe.txt" 2>&1 </dev/null \
  || fail "the event sources do not format their messages"
grep -qF 'Drivewarden: EventMessageFile C:\Program Files\Quotawarden\QuotawardenService.exe' "$work/probe.txt" \
  || fail "EventMessageFile of Drivewarden"

# Start: the first check's entry, then RUNNING.
wine sc start Drivewarden >"$work/start.txt" 2>&1 </dev/null || true
wait_state RUNNING 60 || fail "never RUNNING (state $(state))"
entries >"$work/entries.txt"
grep -q '^Drivewarden|information|5610|・ C ドライブの空き領域: ' "$work/entries.txt" || fail "no 5610 entry"

# Stop.
wine sc stop Drivewarden >"$work/stop.txt" 2>&1 </dev/null || true
wait_state STOPPED 60 || fail "never STOPPED (state $(state))"
[ "$(entries | wc -l)" -eq 1 ] || fail "entries besides the first check's"
# The first check's state, in the folder the service made under ProgramData.
status_ini="$WINEPREFIX/drive_c/ProgramData/Quotawarden/status.ini"
[ -f "$status_ini" ] || fail "no status.ini in ProgramData\\Quotawarden"
grep -q $'^OUTCOME=information\r$' "$status_ini" || fail "status.ini: $(cat "$status_ini")"
grep -q $'^\[DRIVE.C\]\r$' "$status_ini" || fail "status.ini without drive C"
grep -Eq $'^FREE=[0-9]+\r$' "$status_ini" || fail "status.ini: free bytes not plain digits"

# A settings value that does not convert: the service does not start.
rm -f "$events"
printf '[WARNING]\r\nINTERVAL=x\r\n' >"$ini"
wine sc start Drivewarden >"$work/start-bad.txt" 2>&1 </dev/null || true
# The start's error entry comes before the service reports stopped.
qw_wait_for 60 grep -qs '"type":"error"' "$events" || fail "a bad INTERVAL wrote no error entry"
wait_state STOPPED 60 || fail "a bad INTERVAL did not leave it stopped"
grep -Eq 'WIN32_EXIT_CODE *: *0 ' "$work/query.txt" || fail "a start refused for its settings is not exit code 0: $(cat "$work/query.txt")"
entries >"$work/entries.txt"
grep -qxF "Drivewarden|error|0|サービス失敗 開始: 設定ファイル Drivewarden.ini の [WARNING] INTERVAL=x: 'x' は整数ではありません" "$work/entries.txt" \
  || fail "no start failure entry"
LC_ALL=C grep -q $'^OUTCOME=.*INTERVAL=x' "$status_ini" || fail "the failed start's error is not the state's outcome"

# Remove the registration, silently.
wine "$exe" /UNINSTALL /SILENT >"$work/uninstall.txt" 2>&1 </dev/null || fail "/UNINSTALL /SILENT failed"
if wine reg query 'HKLM\System\CurrentControlSet\Services\Drivewarden' >"$work/reg-after.txt" 2>&1 </dev/null; then
  fail "still registered after /UNINSTALL"
fi
evkey='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
for source in Drivewarden QuotawardenService.exe; do
  if wine reg query "$evkey\\$source" >"$work/reg-source.txt" 2>&1 </dev/null; then
    fail "the event source $source is still there after /UNINSTALL"
  fi
done
echo "service_wine: ok"
