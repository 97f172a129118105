#!/usr/bin/env bash
# The last-check state of the one-shot host: two runs against the test SMTP
# server (delivered, then no server) leave status.ini beside the settings with
# the values of their event entries and the first run's delivery kept;
# --state-dir moves the file; a state folder that cannot take it gives one
# error entry and leaves the exit code that of the check.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init state_posix
bin="$native_bin"
qw_need "$bin/QuotawardenService" "$bin/smtp_test_server"
mkdir -p "$work/other"
qw_test_server "$work"
port="$server_port"

write_ini() {  # write_ini THRESHOLD
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=%s\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\n' "$1" "$port" >"$work/Drivewarden.ini"
}
run_once() {  # run_once EXPECTED-EXIT NAME [options...]
  local expected=$1 name=$2 rc=0
  shift 2
  "$bin/QuotawardenService" --once --windir="$work" --eventlog="$work/$name.json" "$@" 2>"$work/$name.err" || rc=$?
  [ "$rc" -eq "$expected" ] || { cat "$work/$name.err" >&2; fail "$name exit $rc, expected $expected"; }
  qw_sanitizer_clean "$work/$name.err"
}

write_ini 99%
run_once 0 delivered
cp "$work/status.ini" "$work/delivered.ini"
sleep 1  # the second run's time differs from the delivery's
qw_kill "$server_pid"
rm -f "$work/Drivewarden.ini"; write_ini 99%
run_once 2 noserver
cp "$work/status.ini" "$work/noserver.ini"

# Another folder: the file goes there and the one beside the settings stays.
rm -f "$work/Drivewarden.ini"; write_ini 0
run_once 0 moved --state-dir="$work/other"
cmp -s "$work/status.ini" "$work/noserver.ini" || { echo "state_posix: --state-dir wrote beside the settings" >&2; exit 1; }

# A folder that does not exist: the check's own exit code, one error entry.
run_once 0 unwritable --state-dir="$work/absent"
rm -f "$work/Drivewarden.ini"; write_ini 99%
run_once 2 unwritable-mail --state-dir="$work/absent"

qw_py checks/state_posix "$work"
