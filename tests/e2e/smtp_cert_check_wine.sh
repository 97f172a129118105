#!/usr/bin/env bash
# The certificate check of secure submission under Wine, against exim4 (TLS
# by GnuTLS) on loopback with STARTTLS, four servers that differ only in what
# they present:
#   leaf     its certificate alone, issued by a CA Windows does not trust
#            (what most servers send: no chain)
#   chain    the same certificate with that CA
#   self     a self-signed certificate
#   trusted  its certificate alone, issued by a CA among the prefix's machine
#            trusted roots
# With the certificate checked, smtp_send.exe and the installed service
# (TLSVERIFY=1, started through Wine's Service Control Manager) are refused by
# the first three, each failure naming the chain's error, and deliver through
# the fourth.
#
# Every wine command writes to files, never to a pipe.
source "$(dirname "$0")/lib/common.sh"
# Outside the checkout: exim's delivery user (nobody) must reach the Maildir.
qw_e2e_init smtp_cert_check_wine
source tests/e2e/lib/wine.sh
source tests/e2e/lib/exim.sh
winbin="$win64_bin"
qw_need "$winbin/QuotawardenService.exe" "$winbin/smtp_send.exe" "$winbin/tls_probe.exe"
command -v exim4 >/dev/null || fail "exim4 not installed"
# From here on a failed check is counted and the run goes on: every case is
# reported; the script fails at the end.
failures=0
check_failed() {
  echo "smtp_cert_check_wine: FAIL $*" >&2
  failures=$((failures + 1))
}
user=tester
password='Cert-Pass-789'
export QW_TEST_PASSWORD="$password"

# ca.crt (to be trusted), server.crt and server.key by qw_test_certs; the
# unknown CA's certificate for the same key, and a self-signed one.
qw_test_certs "$work"
(
  cd "$work"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quotawarden Unknown CA" \
    -keyout unknown-ca.key -out unknown-ca.crt 2>/dev/null
  openssl x509 -req -in server.csr -CA unknown-ca.crt -CAkey unknown-ca.key -CAcreateserial -days 2 \
    -extfile server.ext -out unknown-leaf.crt 2>/dev/null
  cat unknown-leaf.crt unknown-ca.crt >unknown-chain.crt
  openssl req -x509 -key server.key -days 2 -subj "/CN=localhost" -addext "subjectAltName=DNS:localhost" \
    -addext "extendedKeyUsage=serverAuth" -out self.crt 2>/dev/null
)

# One exim per case, each from the same configuration with its own port,
# certificate, spool and pid file; all deliver into one Maildir.
exim_tls=(CERT="$work/server.crt" KEY="$work/server.key" USER="$user" PASSWORD="$password")
cases="leaf chain self trusted"
declare -A cert=([leaf]=unknown-leaf.crt [chain]=unknown-chain.crt [self]=self.crt [trusted]=server.crt)
declare -A port
for c in $cases; do
  port[$c]="$(qw_free_port)"
  qw_exim_conf "$work/exim-$c.conf" "$work" "${port[$c]}" "${exim_tls[@]}" CERT="$work/${cert[$c]}" \
    SPOOL="$work/spool-$c" PIDFILE="$work/exim-$c.pid"
  exim4 -C "$work/exim-$c.conf" -bd
  qw_on_exit "kill \"\$(cat '$work/exim-$c.pid')\" 2>/dev/null"
done
for c in $cases; do qw_wait_port "${port[$c]}" || fail "exim ($c) did not listen"; done

qw_wine_setup copy
qw_on_exit 'wine sc stop Drivewarden >/dev/null 2>&1 </dev/null'
echo "[$SECONDS s] prefix ready"
events="$work/events.json"
qw_wine_service_eventlog "$events" "$work/reg-env.txt" || fail "reg add failed"
dir="$WINEPREFIX/drive_c/Quotawarden"
mkdir -p "$dir"
cp "$winbin/QuotawardenService.exe" "$winbin/smtp_send.exe" "$winbin/tls_probe.exe" "$dir/"
# The test CA among the machine's trusted roots (tls_probe adds it, then
# fails at once to connect to a port where nothing listens).
wine 'C:\Quotawarden\tls_probe.exe' --trust "Z:${work//\//\\}\\ca.crt" "$(qw_free_port)" localhost 1 \
  >"$work/trust.txt" 2>&1 </dev/null || true
grep -q '^trust:' "$work/trust.txt" && { cat "$work/trust.txt" >&2; fail "the CA was not added"; }

mails() { { ls "$work/Maildir/new" 2>/dev/null || true; } | wc -l; }

# smtp_send.exe --verify 1 against each server.
for c in $cases; do
  before="$(mails)"
  rc=0
  timeout 60 wine 'C:\Quotawarden\smtp_send.exe' --host localhost --port "${port[$c]}" --security STARTTLS \
    --user "$user" --password-env QW_TEST_PASSWORD --verify 1 --timeout 20 \
    --from warden@example.jp --to admin@example.jp --subject "cert $c" \
    >"$work/send-$c.txt" 2>&1 </dev/null || rc=$?
  echo "[$SECONDS s] smtp_send $c: exit $rc: $(grep -a 'smtp_send\|^sent' "$work/send-$c.txt" | tail -1)"
  for _ in $(seq 20); do [ "$(mails)" -gt "$before" ] && break; [ "$rc" -ne 0 ] && break; sleep 0.5; done
  case "$c" in
    trusted)
      [ "$rc" -eq 0 ] || check_failed "smtp_send $c: expected delivery, exit $rc"
      [ "$(mails)" -gt "$before" ] || check_failed "smtp_send $c: no mail arrived" ;;
    *)
      [ "$rc" -eq 1 ] || check_failed "smtp_send $c: expected exit 1, got $rc"
      [ "$(mails)" -eq "$before" ] || check_failed "smtp_send $c: a mail arrived"
      grep -aq 'TLS: ' "$work/send-$c.txt" || check_failed "smtp_send $c: the failure is not the TLS step" ;;
  esac
done
grep -aq 'CERT_TRUST_IS_PARTIAL_CHAIN' "$work/send-leaf.txt" || check_failed "smtp_send leaf: no partial chain named"
grep -aq 'CERT_TRUST_IS_UNTRUSTED_ROOT' "$work/send-chain.txt" || check_failed "smtp_send chain: no untrusted root named"
grep -aq 'CERT_TRUST_IS_UNTRUSTED_ROOT' "$work/send-self.txt" || check_failed "smtp_send self: no untrusted root named"

# The installed service: each case writes its settings and starts the
# service, whose first check mails the alert or ends in an error entry.
ini="$WINEPREFIX/drive_c/windows/Drivewarden.ini"
write_ini() {  # port
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=localhost\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\nSECURITY=STARTTLS\r\nUSER=%s\r\nPASSWORD=%s\r\nTLSVERIFY=1\r\n' \
    "$1" "$user" "$password" >"$ini"
}
exe='C:\Quotawarden\QuotawardenService.exe'
wine "$exe" /INSTALL /SILENT >"$work/install.txt" 2>&1 </dev/null || fail "/INSTALL failed"
state() { wine sc query Drivewarden >"$work/query.txt" 2>&1 </dev/null || true; grep -o 'STATE *: *[0-9]* *[A-Z_]*' "$work/query.txt" | awk '{print $NF}'; }
errors() { local n=0; [ -f "$events" ] && n="$(grep -c '"error"' "$events" || true)"; echo "$n"; }
for c in $cases; do
  write_ini "${port[$c]}"
  mails_before="$(mails)"
  errors_before="$(errors)"
  wine sc start Drivewarden >"$work/start-$c.txt" 2>&1 </dev/null || true
  if grep -q 1060 "$work/start-$c.txt"; then
    # Wine's service manager may not see a service registered since it started.
    qw_wine_stop; wineserver -p >/dev/null 2>&1 </dev/null
    wine sc start Drivewarden >"$work/start-$c.txt" 2>&1 </dev/null || true
  fi
  for _ in $(seq 120); do
    [ "$(mails)" -gt "$mails_before" ] && break
    [ "$(errors)" -gt "$errors_before" ] && break
    sleep 0.5
  done
  wine sc stop Drivewarden >"$work/stop-$c.txt" 2>&1 </dev/null || true
  for _ in $(seq 50); do [ "$(state)" = STOPPED ] && break; sleep 0.2; done
  echo "[$SECONDS s] service $c: $(( $(mails) - mails_before )) mail(s), $(( $(errors) - errors_before )) error entr(ies)"
  case "$c" in
    trusted) [ "$(mails)" -gt "$mails_before" ] || check_failed "service $c: no mail arrived" ;;
    *) [ "$(mails)" -eq "$mails_before" ] || check_failed "service $c: a mail arrived" ;;
  esac
done
wine "$exe" /UNINSTALL /SILENT >"$work/uninstall.txt" 2>&1 </dev/null || true

# The service's entries: one error per refused server naming the chain's
# error, none for the trusted one, and the password in none.
qw_py checks/smtp_cert_check_wine "$events" "$password" || check_failed "the service's entries are not right"

if [ "$failures" -ne 0 ]; then
  echo "smtp_cert_check_wine: $failures failure(s)" >&2
  for f in "$work"/*.txt "$events"; do [ -f "$f" ] && { echo "== $f"; cat "$f"; } >&2; done
  exit 1
fi
echo "smtp_cert_check_wine: ok"
