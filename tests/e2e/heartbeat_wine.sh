#!/usr/bin/env bash
# The heartbeat of the installed Windows service under Wine's Service Control
# Manager, through WinHTTP to a loopback HTTPS receiver whose test CA is among
# the prefix's machine trusted roots: a POST at the start and at control 128,
# the failure URL for a check whose settings no longer load, and the URL's
# secret in no entry and not in status.ini.
#
# Every wine command writes to files, never to a pipe.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init heartbeat_wine
source tests/e2e/lib/wine.sh
source tests/e2e/lib/http_peers.sh
qw_need "$win64_bin/QuotawardenService.exe" "$win64_bin/service_control.exe" "$win64_bin/http_probe.exe"
# Wine's WinHTTP would take a proxy from these when the machine has none.
unset https_proxy HTTPS_PROXY http_proxy HTTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

qw_http_certs "$work"
qw_http_servers "$work"
qw_wine_setup copy
qw_service_setup Quotawarden
echo "[$SECONDS s] prefix ready"
folder="$WINEPREFIX/drive_c/Quotawarden"
# Wine's sc.exe has no "control" command: the same call from the tools'
# service_control.exe.
cp "$win64_bin/service_control.exe" "$folder/sc_control.exe"
cp "$win64_bin/http_probe.exe" "$folder/"
qw_wine trust 'C:\Quotawarden\http_probe.exe' --trust "Z:${work//\//\\}\\ca.crt" ||
  fail "the test CA was not added to the machine's roots: $(cat "$work/trust.txt")"
status_ini="$WINEPREFIX/drive_c/ProgramData/Quotawarden/status.ini"
secret="S3CR3T-$$-wine"
good="https://localhost:${http_port[good]}"
settings() {  # settings URL INTERVAL
  printf '[WARNING]\r\nINTERVAL=%s\r\n[DRIVE]\r\nC=1%%\r\n[HEARTBEAT]\r\nURL=%s\r\nMETHOD=POST\r\n' "$2" "$1" >"$ini"
}
requests() { qw_py checks/heartbeat_posix count "$work/requests.jsonl" good; }
requests_over() { [ "$(requests)" -gt "$1" ]; }
control_128() {
  qw_wine control 'C:\Quotawarden\sc_control.exe' Drivewarden 128 ||
    fail "sc_control Drivewarden 128: $(cat "$work/control.txt")"
}

settings "$good/hb/$secret" 24
qw_service_install
qw_sc_start
qw_sc_wait RUNNING 60 || fail "never RUNNING (state $(qw_sc_state))"
qw_wait_for 60 requests_over 0 || fail "no ping at the start"
echo "[$SECONDS s] started"
n=$(requests)
control_128
qw_wait_for 30 requests_over "$n" || fail "no ping at control 128"
settings "$good/hb/other" x
n=$(requests)
control_128
qw_wait_for 30 requests_over "$n" || fail "no ping for the check whose settings did not load"
qw_wait_for 10 grep -q '^FAILURL=1' "$status_ini" || fail "status.ini does not tell the failure URL"
qw_sc_stop
qw_sc_wait STOPPED 60 || fail "never STOPPED (state $(qw_sc_state))"
echo "[$SECONDS s] stopped"
qw_py checks/heartbeat_posix requests "$work/requests.jsonl" good "$secret" --tail ok ok fail ||
  fail "the receiver did not see the pings as they should be"
grep -q '^OK=1' "$status_ini" || fail "status.ini does not tell the answered ping"
qw_entries "$events" | grep -q "ハートビートを送れませんでした" && fail "a heartbeat warning although every ping was answered"
qw_py checks/heartbeat_posix secret-free "$secret" "$events" "$status_ini" || fail "the secret leaked"
echo "heartbeat_wine: ok ($(requests) pings)"
