#!/usr/bin/env bash
# Secure submission end to end with the native one-shot host: exim4 (TLS by
# GnuTLS) with a test CA and server certificate made here, one loopback port
# for STARTTLS and one for TLS from the first byte, AUTH PLAIN and LOGIN for
# a test user. The alert arrives intact through STARTTLS+PLAIN,
# STARTTLS+LOGIN and TLS+PLAIN (SSL_CERT_FILE names the test CA, so
# TLSVERIFY=1 verifies); the refusals are checked by the text of their error
# entries: a wrong password, an unknown CA, a certificate for another host
# (by name, and by address), an expired certificate,
# STARTTLS not offered, a server that closes during the handshake and one
# silent after STARTTLS. With TLSVERIFY=0 the unknown CA delivers and an
# information entry says so. The password never appears in an entry or on
# stderr.
source "$(dirname "$0")/lib/common.sh"
# Outside the checkout: exim's delivery user (nobody) must reach the Maildir.
qw_e2e_init smtp_tls_exim
source tests/e2e/lib/exim.sh
bin="$native_bin"
host_exe="$bin/QuotawardenService"
qw_need "$host_exe" "$bin/smtp_test_server"
command -v exim4 >/dev/null || fail "exim4 not installed"
command -v openssl >/dev/null || fail "openssl not installed"
QW_FAIL_SHOW="$work/log/*"

user=tester
password='Test-Pass-123'

# ---- certificates: the test CA, a server certificate for localhost, and a
# second CA nobody trusts ----
qw_test_certs "$work"
(
  cd "$work"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Untrusted Test CA" \
    -keyout other-ca.key -out other-ca.crt 2>/dev/null
  # A certificate of the same CA for another host.
  openssl req -newkey rsa:2048 -nodes -subj "/CN=other.example.test" -keyout other.key -out other.csr 2>/dev/null
  printf 'subjectAltName=DNS:other.example.test\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >other.ext
  openssl x509 -req -in other.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
    -extfile other.ext -out other.crt 2>/dev/null
  # And one for localhost that expired yesterday.
  openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days -1 \
    -extfile server.ext -out expired.crt 2>/dev/null
  chmod 0644 other.key
)

# ---- exim ----
starttls_port="$(qw_free_port)"
tls_port="$(qw_free_port)"
exim_tls=(CERT="$work/server.crt" KEY="$work/server.key" USER="$user" PASSWORD="$password")
qw_exim_conf "$work/exim.conf" "$work" "$starttls_port : $tls_port" "${exim_tls[@]}" ONCONNECT="$tls_port"
qw_exim_start "$work/exim.conf" "$starttls_port" "$tls_port" || fail "exim did not listen"

# ---- the test server for the faults exim does not make ----
start_fake() {  # name, --at scripts...
  local name="$1"; shift
  qw_spawn "$work/$name.server.log" "$bin/smtp_test_server" --port-file "$work/$name.port" \
    --maildir "$work/$name.mail" --log "$work/$name.cmds" "$@"
}
mkdir -p "$work/nostarttls.mail" "$work/closing.mail" "$work/silent.mail"
start_fake nostarttls --at 'EHLO=:250-localhost\n250 AUTH PLAIN LOGIN'
start_fake closing --at 'EHLO=:250-localhost\n250 STARTTLS' --at 'STARTTLS=close:220 2.0.0 go ahead'
start_fake silent --at 'EHLO=:250-localhost\n250 STARTTLS' --at 'STARTTLS=:220 2.0.0 go ahead'
for name in nostarttls closing silent; do
  qw_wait_file "$work/$name.port" 10 || fail "test server $name did not start"
done

# ---- one run of the host per case, each in a folder of its own ----
# case name, host, port, SECURITY, USER, PASSWORD, TLSVERIFY, CA file
run_case() {
  local name="$1" smtp="$2" port="$3" security="$4" login="$5" pass="$6" verify="$7" ca="$8"
  local dir="$work/case-$name"
  mkdir -p "$dir"
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=%s\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\nSECURITY=%s\r\nUSER=%s\r\nPASSWORD=%s\r\nTLSVERIFY=%s\r\n' \
    "$smtp" "$port" "$security" "$login" "$pass" "$verify" >"$dir/Drivewarden.ini"
  chmod 0600 "$dir/Drivewarden.ini"
  local rc=0
  SSL_CERT_FILE="$ca" SSL_CERT_DIR="$work/no-such-dir" \
    timeout 60 "$host_exe" --once --windir="$dir" --eventlog="$dir/events.json" --mail-timeout=3 \
    >"$dir/out" 2>"$dir/err" || rc=$?
  echo "$rc" >"$dir/rc"
}

# The same server with the certificate for another host, on a port of its own.
other_port="$(qw_free_port)"
qw_exim_conf "$work/exim-other.conf" "$work" "$other_port" "${exim_tls[@]}" \
  CERT="$work/other.crt" KEY="$work/other.key" PIDFILE="$work/exim-other.pid"
qw_exim_start "$work/exim-other.conf" "$other_port" || fail "the exim with the other certificate did not listen"
# And with the expired one.
expired_port="$(qw_free_port)"
qw_exim_conf "$work/exim-expired.conf" "$work" "$expired_port" "${exim_tls[@]}" \
  CERT="$work/expired.crt" PIDFILE="$work/exim-expired.pid"
qw_exim_start "$work/exim-expired.conf" "$expired_port" || fail "the exim with the expired certificate did not listen"

ca="$work/ca.crt"
other="$work/other-ca.crt"
case_pids=()
run_case starttls-plain localhost "$starttls_port" STARTTLS "$user" "$password" 1 "$ca" &
case_pids+=($!)
run_case tls-plain localhost "$tls_port" TLS "$user" "$password" 1 "$ca" &
case_pids+=($!)
run_case wrong-password localhost "$starttls_port" STARTTLS "$user" "not-the-password" 1 "$ca" &
case_pids+=($!)
run_case unknown-ca localhost "$tls_port" TLS "$user" "$password" 1 "$other" &
case_pids+=($!)
run_case other-host localhost "$other_port" STARTTLS "$user" "$password" 1 "$ca" &
case_pids+=($!)
run_case expired localhost "$expired_port" STARTTLS "$user" "$password" 1 "$ca" &
case_pids+=($!)
run_case other-address 127.0.0.1 "$starttls_port" STARTTLS "$user" "$password" 1 "$ca" &
case_pids+=($!)
run_case unverified localhost "$tls_port" TLS "$user" "$password" 0 "$other" &
case_pids+=($!)
run_case no-starttls 127.0.0.1 "$(cat "$work/nostarttls.port")" STARTTLS "$user" "$password" 1 "$ca" &
case_pids+=($!)
run_case closing 127.0.0.1 "$(cat "$work/closing.port")" STARTTLS "$user" "$password" 1 "$ca" &
case_pids+=($!)
run_case silent 127.0.0.1 "$(cat "$work/silent.port")" STARTTLS "$user" "$password" 1 "$ca" &
case_pids+=($!)
wait "${case_pids[@]}"

# STARTTLS+LOGIN: the client takes PLAIN whenever it is offered, so LOGIN
# needs an exim that offers only LOGIN: the same configuration without the
# PLAIN authenticator, on a port of its own.
login_port="$(qw_free_port)"
qw_exim_conf "$work/exim-login.conf" "$work" "$login_port" "${exim_tls[@]}" LOGINONLY=1 \
  PIDFILE="$work/exim-login.pid"
qw_exim_start "$work/exim-login.conf" "$login_port" || fail "the LOGIN-only exim did not listen"
run_case starttls-login localhost "$login_port" STARTTLS "$user" "$password" 1 "$ca"
# The tool's transcript over STARTTLS+LOGIN: AUTH lines masked, the
# password nowhere.
# A body of some 2 MB in packets, so that the TLS socket meets a full socket
# buffer: it arrives whole.
{
  printf 'transcript check\r\n.leading period\r\n'
  for i in $(seq 1 40000); do printf 'line %05d of a long alert body, padded to a fair length\r\n' "$i"; done
  printf 'last line\r\n'
} >"$work/body.txt"
SSL_CERT_FILE="$ca" SMTP_TEST_PASSWORD="$password" timeout 30 "$bin/smtp_send" --host localhost \
  --port "$login_port" --from warden@example.jp --to admin@example.jp --body-file "$work/body.txt" \
  --security STARTTLS --user "$user" --password-env SMTP_TEST_PASSWORD --transcript 1 --timeout 5 --packet 32768 \
  >"$work/send.out" 2>"$work/send.err" || { cat "$work/send.err" >&2; fail "smtp_send over STARTTLS+LOGIN failed"; }
grep -q '^> AUTH LOGIN' "$work/send.err" || { cat "$work/send.err" >&2; fail "no AUTH LOGIN in the transcript"; }
[ "$(grep -c '^> \*\*\*\*' "$work/send.err")" -eq 2 ] || { cat "$work/send.err" >&2; fail "the LOGIN answers are not masked"; }
if grep -q -e "$password" -e "$(printf %s "$password" | base64)" "$work/send.err" "$work/send.out"; then
  fail "the password appears in the transcript"
fi
echo "transcript: AUTH lines masked"
kill "$(cat "$work/exim-login.pid")" 2>/dev/null || true

# A settings file that holds a password and that others can read: the host
# warns on stderr and in a warning entry, and still runs.
mkdir -p "$work/case-readable"
cp "$work/case-no-starttls/Drivewarden.ini" "$work/case-readable/"
chmod 0644 "$work/case-readable/Drivewarden.ini"
rc=0
timeout 30 "$host_exe" --once --windir="$work/case-readable" --eventlog="$work/case-readable/events.json" \
  --mail-timeout=3 >/dev/null 2>"$work/case-readable/err" || rc=$?
[ "$rc" -eq 2 ] || fail "readable settings: exit $rc, expected 2 (STARTTLS not offered)"
grep -q "他のユーザーも読めます" "$work/case-readable/err" || { cat "$work/case-readable/err" >&2; fail "no warning about a readable password"; }
grep -q '"warning".*他のユーザーも読めます\|他のユーザーも読めます.*"warning"' "$work/case-readable/events.json" \
  || { cat "$work/case-readable/events.json" >&2; fail "no warning entry about a readable password"; }
if grep -q -e "$password" "$work/case-readable/err" "$work/case-readable/events.json"; then fail "the password appears"; fi
if grep -q "他のユーザーも読めます" "$work/case-no-starttls/err"; then fail "a warning for a file only its owner reads"; fi
echo "readable settings with a password: warned"

five() { [ "$(ls "$work/Maildir/new" 2>/dev/null | wc -l)" -ge 5 ]; }
qw_wait_for 5 five || true

qw_py checks/smtp_tls_exim "$work" "$password"
echo "smtp_tls_exim: ok"
