#!/usr/bin/env bash
# The metrics file of the installed service under Wine's Service Control
# Manager: with [METRICS] TEXTFILEDIR naming windows_exporter's
# textfile_inputs folder of the prefix, the first check writes
# quotawarden.prom there (LF lines, no temporary file left), promtool check
# metrics accepts it and its drive C holds the free bytes of status.ini; a
# relative TEXTFILEDIR keeps the service from starting with the key named;
# a folder that does not exist is one error entry and the service runs on.
#
# Wine's system processes inherit the handles of the command that starts
# them, so every wine command writes to files here, never to a pipe.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init metrics_wine build/e2e-metrics-wine
source tests/e2e/lib/wine.sh
exe_built="$win64_bin/QuotawardenService.exe"
qw_need "$exe_built"
command -v promtool >/dev/null || fail "promtool is missing (scripts/setup installs it)"

qw_wine_setup copy
events="$work/events.json"
qw_wine_service_eventlog "$events" "$work/reg-env.txt" || fail "reg add"
export QUOTAWARDEN_EVENTLOG="$events_win"

dir="$WINEPREFIX/drive_c/Program Files/Quotawarden"
mkdir -p "$dir"
cp "$exe_built" "$dir/"
exe='C:\Program Files\Quotawarden\QuotawardenService.exe'
ini="$WINEPREFIX/drive_c/windows/Drivewarden.ini"
inputs="$WINEPREFIX/drive_c/Program Files/windows_exporter/textfile_inputs"
mkdir -p "$inputs"
prom="$inputs/quotawarden.prom"
status_ini="$WINEPREFIX/drive_c/ProgramData/Quotawarden/status.ini"
write_ini() {  # write_ini TEXTFILEDIR
  printf '[WARNING]\r\nINTERVAL=1\r\n[DRIVE]\r\nC=1%%\r\n[METRICS]\r\nTEXTFILEDIR=%s\r\n' "$1" >"$ini"
}

state() {
  wine sc query Drivewarden >"$work/query.txt" 2>&1 </dev/null || true
  sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' "$work/query.txt"
}
wait_state() {  # wait_state STATE SECONDS
  for _ in $(seq "$2"); do [ "$(state)" = "$1" ] && return 0; sleep 1; done
  return 1
}
entries() {
  [ -f "$events" ] || return 0
  /usr/bin/python3 -c '
import json, sys
for l in open(sys.argv[1], encoding="utf-8"):
    e = json.loads(l)
    print("%s|%s|%d|%s" % (e["source"], e["type"], e["id"], e["text"].replace("\r\n", "\\n")))
' "$events"
}
wait_entries() {  # wait_entries COUNT SECONDS
  for _ in $(seq "$2"); do [ "$(entries | wc -l)" -ge "$1" ] && return 0; sleep 1; done
  return 1
}

wine "$exe" /INSTALL /SILENT >"$work/install.txt" 2>&1 </dev/null || fail "/INSTALL /SILENT failed"

# The exporter's folder: the first check writes the file there.
write_ini 'C:\Program Files\windows_exporter\textfile_inputs'
wine sc start Drivewarden >"$work/start.txt" 2>&1 </dev/null || true
wait_state RUNNING 60 || fail "never RUNNING (state $(state))"
wait_entries 1 30 || fail "no entry of the first check"
for _ in $(seq 30); do [ -f "$prom" ] && break; sleep 1; done
[ -f "$prom" ] || fail "no quotawarden.prom in textfile_inputs"
cp "$prom" "$work/first.prom"
[ "$(ls "$inputs")" = "quotawarden.prom" ] || fail "other files in textfile_inputs: $(ls "$inputs")"
! grep -q $'\r' "$work/first.prom" || fail "CR in the metrics file"
[ "$(tail -c 1 "$work/first.prom" | od -An -c | tr -d ' ')" = '\n' ] || fail "the file does not end with a line feed"
timeout 60 promtool check metrics <"$work/first.prom" >"$work/promtool.txt" 2>&1 || fail "promtool check metrics refused it"
[ ! -s "$work/promtool.txt" ] || fail "promtool: $(cat "$work/promtool.txt")"
free_prom=$(sed -n 's/^quotawarden_drive_free_bytes{drive="C"} \([0-9]*\)$/\1/p' "$work/first.prom")
wine sc stop Drivewarden >"$work/stop.txt" 2>&1 </dev/null || true
wait_state STOPPED 60 || fail "never STOPPED (state $(state))"
free_state=$(tr -d '\r' <"$status_ini" | sed -n '/^\[DRIVE.C\]$/,/^\[/s/^FREE=//p')
[ -n "$free_prom" ] && [ "$free_prom" = "$free_state" ] || fail "drive C free: metrics '$free_prom', status.ini '$free_state'"
grep -q '^quotawarden_last_check_success 1$' "$work/first.prom" || fail "last check success is not 1"
grep -q '^quotawarden_check_interval_seconds 3600$' "$work/first.prom" || fail "interval is not 3600"
grep -q '^quotawarden_info{version="1.2.1.0",host="[^"]\+"} 1$' "$work/first.prom" || fail "no info line"
entries | grep -q '^Drivewarden|error' && fail "error entries with a writable folder"

# A relative folder: the settings do not load, the service does not start.
rm -f "$events"
write_ini 'textfile_inputs'
wine sc start Drivewarden >"$work/start-relative.txt" 2>&1 </dev/null || true
# The start's error entry comes before the service reports stopped.
qw_wait_for 60 grep -qs '"type":"error"' "$events" || fail "a relative TEXTFILEDIR wrote no error entry"
wait_state STOPPED 60 || fail "a relative TEXTFILEDIR did not leave it stopped"
entries >"$work/entries-relative.txt"
grep -q '^Drivewarden|error|0|サービス失敗 開始: 設定ファイル Drivewarden.ini の \[METRICS\] TEXTFILEDIR=textfile_inputs: ' \
  "$work/entries-relative.txt" || fail "no start failure naming TEXTFILEDIR"

# A folder that does not exist: one error entry naming the file, and the
# service runs its check and goes on.
rm -f "$events"
write_ini 'C:\absent\textfile_inputs'
wine sc start Drivewarden >"$work/start-absent.txt" 2>&1 </dev/null || true
wait_state RUNNING 60 || fail "a missing folder kept it from running (state $(state))"
wait_entries 2 30 || fail "not two entries with a missing folder"
entries >"$work/entries-absent.txt"
grep -q '^Drivewarden|information|5610|' "$work/entries-absent.txt" || fail "no check entry with a missing folder"
[ "$(grep -c '^Drivewarden|error|5610|メトリクスファイルを書き込めません: C:\\absent\\textfile_inputs\\quotawarden.prom: ' "$work/entries-absent.txt")" -eq 1 ] \
  || fail "not one error entry naming the file"
wine sc stop Drivewarden >"$work/stop-absent.txt" 2>&1 </dev/null || true
wait_state STOPPED 60 || fail "never STOPPED after the missing folder"

wine "$exe" /UNINSTALL /SILENT >"$work/uninstall.txt" 2>&1 </dev/null || fail "/UNINSTALL /SILENT failed"
echo "metrics_wine: ok ($(grep -c '^quotawarden_' "$work/first.prom") samples, drive C free $free_prom)"
