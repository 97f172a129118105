#!/usr/bin/env bash
# Secure submission from the installed Windows service under Wine: exim4 (TLS
# by GnuTLS) with a test CA and a server certificate for localhost made here,
# AUTH PLAIN and LOGIN for a test user; the test CA is added to the Wine
# machine's trusted roots. For each of STARTTLS+PLAIN, STARTTLS+LOGIN and
# TLS+PLAIN the service, started through Wine's Service Control Manager,
# mails its first check's alert, which arrives intact in exim's Maildir with
# the report of the warning entry as its body; TLSVERIFY=1 throughout, no
# error entry, and the password in no entry.
#
# Every wine command writes to files, never to a pipe.
source "$(dirname "$0")/lib/common.sh"
# Outside the checkout: exim's delivery user (nobody) must reach the Maildir.
qw_e2e_init smtp_tls_exim_wine
source tests/e2e/lib/wine.sh
source tests/e2e/lib/exim.sh
exe_built="$win64_bin/QuotawardenService.exe"
probe_built="$win64_bin/tls_probe.exe"
qw_need "$exe_built" "$probe_built"
command -v exim4 >/dev/null || fail "exim4 not installed"
user=tester
password='Test-Pass-456'

qw_test_certs "$work"
starttls_port="$(qw_free_port)"
tls_port="$(qw_free_port)"
login_port="$(qw_free_port)"
exim_tls=(CERT="$work/server.crt" KEY="$work/server.key" USER="$user" PASSWORD="$password")
qw_exim_conf "$work/exim.conf" "$work" "$starttls_port : $tls_port" "${exim_tls[@]}" ONCONNECT="$tls_port"
qw_exim_start "$work/exim.conf" "$starttls_port" "$tls_port" || fail "exim did not listen"
# The LOGIN-only server: the client takes PLAIN whenever it is offered.
qw_exim_conf "$work/exim-login.conf" "$work" "$login_port" "${exim_tls[@]}" LOGINONLY=1 \
  PIDFILE="$work/exim-login.pid"
qw_exim_start "$work/exim-login.conf" "$login_port" || fail "the LOGIN-only exim did not listen"

qw_wine_setup copy
qw_on_exit 'wine sc stop Drivewarden >/dev/null 2>&1 </dev/null'
events="$work/events.json"
qw_wine_service_eventlog "$events" "$work/reg-env.txt" || fail "reg add"

dir="$WINEPREFIX/drive_c/Quotawarden"
mkdir -p "$dir"
cp "$exe_built" "$probe_built" "$dir/"
exe='C:\Quotawarden\QuotawardenService.exe'
# The test CA among the machine's trusted roots (the probe's handshake with
# exim's implicit-TLS port then verifies; its echo check does not matter).
ca_win="Z:${work//\//\\}\\ca.crt"
wine 'C:\Quotawarden\tls_probe.exe' --trust "$ca_win" --greeting "$tls_port" localhost 1 \
  >"$work/trust.txt" 2>&1 </dev/null || true

ini="$WINEPREFIX/drive_c/windows/Drivewarden.ini"
write_ini() {  # port security
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=localhost\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\nSECURITY=%s\r\nUSER=%s\r\nPASSWORD=%s\r\nTLSVERIFY=1\r\n' \
    "$1" "$2" "$user" "$password" >"$ini"
}
# Installed with no settings yet; each case writes its settings and starts
# the service, whose first check mails the alert.
wine "$exe" /INSTALL /SILENT >"$work/install.txt" 2>&1 </dev/null || fail "/INSTALL /SILENT failed"
state() { wine sc query Drivewarden >"$work/query.txt" 2>&1 </dev/null || true; grep -o 'STATE *: *[0-9]* *[A-Z_]*' "$work/query.txt" | awk '{print $NF}'; }
mails() { ls "$work/Maildir/new" 2>/dev/null | wc -l; }
n=0
for c in "starttls-plain $starttls_port STARTTLS" "starttls-login $login_port STARTTLS" "tls-plain $tls_port TLS"; do
  set -- $c
  name="$1"
  write_ini "$2" "$3"
  n=$((n + 1))
  wine sc start Drivewarden >"$work/start-$name.txt" 2>&1 </dev/null || true
  if grep -q 1060 "$work/start-$name.txt"; then
    qw_wine_stop; wineserver -p >/dev/null 2>&1 </dev/null
    wine sc start Drivewarden >"$work/start-$name.txt" 2>&1 </dev/null || true
  fi
  for _ in $(seq 60); do [ "$(mails)" -ge "$n" ] && break; grep -q '"error"' "$events" 2>/dev/null && break; sleep 1; done
  [ "$(mails)" -ge "$n" ] || fail "$name: no mail arrived ($(mails) in the Maildir)"
  wine sc stop Drivewarden >"$work/stop-$name.txt" 2>&1 </dev/null || true
  for _ in $(seq 50); do [ "$(state)" = STOPPED ] && break; sleep 0.2; done
  echo "$name: delivered"
done
wine "$exe" /UNINSTALL /SILENT >"$work/uninstall.txt" 2>&1 </dev/null || true

qw_py checks/smtp_tls_exim_wine "$work" "$password" || fail "the mails or the entries are not right"
echo "smtp_tls_exim_wine: ok"
