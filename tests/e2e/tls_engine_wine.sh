#!/usr/bin/env bash
# The Windows TLS engine (SChannel) under Wine against real TLS servers on
# loopback (Python's ssl module, tests/e2e/tls_echo_server.py), through
# tls_probe: certificates made here with openssl, a test CA that the prefix
# first does not trust and then does.
#
# Every wine command writes to files, never to a pipe (Wine's system
# processes inherit the handles of the command that starts them).
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init tls_engine_wine build/e2e-tls-wine
source tests/e2e/lib/wine.sh
probe_built="$win64_bin/tls_probe.exe"
qw_need "$probe_built"
# From here on a failed check is counted and the run goes on: every case is
# reported; the script fails at the end.
failures=0
check_failed() {
  echo "tls_engine_wine: FAIL $*" >&2
  failures=$((failures + 1))
}

# The certificates: a CA, a server certificate for localhost and 127.0.0.1
# signed by it, an expired one, a self-signed one, one issued by the server
# certificate (which is no CA), one for the partial wildcard w*.example.test.
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
  -subj "/CN=Quotawarden Test CA $$" >openssl.log 2>&1
openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=localhost" >>openssl.log 2>&1
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' >ext.cnf
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 \
  -extfile ext.cnf >>openssl.log 2>&1
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out expired.pem -days -1 \
  -extfile ext.cnf >>openssl.log 2>&1
cat server.pem ca.pem >chain.pem
cat expired.pem ca.pem >expired-chain.pem
openssl req -x509 -newkey rsa:2048 -nodes -keyout self.key -out self.pem -days 2 -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -addext "extendedKeyUsage=serverAuth" >>openssl.log 2>&1
openssl req -newkey rsa:2048 -nodes -keyout sub.key -out sub.csr -subj "/CN=localhost" >>openssl.log 2>&1
openssl x509 -req -in sub.csr -CA server.pem -CAkey server.key -CAcreateserial -out sub.pem -days 1 \
  -extfile ext.cnf >>openssl.log 2>&1
cat sub.pem server.pem ca.pem >notca-chain.pem
printf 'subjectAltName=DNS:w*.example.test\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' >wild.cnf
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out wild.pem -days 2 \
  -extfile wild.cnf >>openssl.log 2>&1
cd "$root"

start_server() {  # NAME MODE CHAIN [VERSIONS [KEY]]
  local name="$1" mode="$2" chain="$3"
  qw_spawn "$work/server-$name.log" /usr/bin/python3 tests/e2e/tls_echo_server.py "$mode" "$work/$chain" \
    "$work/${5:-server.key}" "$work/$name.port" ${4:-}
}
start_server echo echo chain.pem
start_server expired echo expired-chain.pem
start_server close close chain.pem
start_server greet greet chain.pem
start_server old echo chain.pem upto1.1
start_server tls13 echo chain.pem tls1.3
# What most servers send: their own certificate alone, no chain.
start_server leaf echo server.pem
start_server self echo self.pem "" self.key
start_server notca echo notca-chain.pem "" sub.key
start_server wild echo wild.pem
qw_spawn "$work/server-reneg.log" /usr/bin/python3 tests/e2e/tls_renegotiate_server.py "$work/chain.pem" \
  "$work/server.key" "$work/reneg.port"
for name in echo expired close greet old tls13 leaf self notca wild reneg; do
  qw_wait_file "$work/$name.port" 30 || fail "server $name did not start"
done
port() { cat "$work/$1.port"; }

qw_wine_setup copy
cp "$probe_built" "$WINEPREFIX/drive_c/tls_probe.exe"
probe='C:\tls_probe.exe'
ca_win="Z:${work//\//\\}\\ca.pem"

# run NAME ARGS...: the probe's output in $work/NAME.txt, its exit code in rc.
run() {
  local name="$1"; shift
  rc=0
  timeout 60 wine "$probe" "$@" >"$work/$name.txt" 2>&1 </dev/null || rc=$?
  echo "== $name (exit $rc): $(grep -v 'wine32\|multiarch\|dpkg\|apt-get\|^$' "$work/$name.txt" | tail -1)"
}
expect_ok() {  # NAME PATTERN
  [ "$rc" -eq 0 ] && grep -q "$2" "$work/$1.txt" || check_failed "$1: expected success matching '$2'"
}
expect_refusal() {  # NAME PATTERN...
  local name="$1"; shift
  [ "$rc" -eq 1 ] || { check_failed "$name: expected exit 1, got $rc"; return; }
  for pattern in "$@"; do
    grep -q -- "$pattern" "$work/$name.txt" || check_failed "$name: no '$pattern' in the text"
  done
}

# Not checked: the untrusted certificate carries the data both ways, in
# records of the largest size and a partial one, and both sides close with
# their alerts.
run unverified --bytes 100000 "$(port echo)" localhost 0
expect_ok unverified '^ok TLSv1\.[23] verified=0 peer-closed=1 alert=1'

# Checked against a CA the prefix does not trust: the server's full chain,
# its certificate alone (the chain stops short of any root, which the
# system's SSL policy alone lets pass on Wine) and a self-signed one; the
# wrong name with it. The text names the chain's error.
run untrusted "$(port echo)" localhost 1
expect_refusal untrusted '^TLS: 証明書' '0x800B0109' 'CERT_TRUST_IS_UNTRUSTED_ROOT'
run untrusted-leaf-only "$(port leaf)" localhost 1
expect_refusal untrusted-leaf-only '^TLS: 証明書' '0x800B010A' 'CERT_TRUST_IS_PARTIAL_CHAIN'
run self-signed "$(port self)" localhost 1
expect_refusal self-signed '^TLS: 証明書' '0x800B0109' 'CERT_TRUST_IS_UNTRUSTED_ROOT'
run untrusted-other-name "$(port echo)" other.example 1
expect_refusal untrusted-other-name '^TLS: 証明書'

# The CA trusted by the local machine: the same server verifies; the name
# must still match; the expired certificate of the same CA is refused.
run trusted --trust "$ca_win" --bytes 100000 "$(port echo)" localhost 1
expect_ok trusted '^ok TLSv1\.[23] verified=1 peer-closed=1 alert=1'
run trusted-other-name "$(port echo)" other.example 1
expect_refusal trusted-other-name '^TLS: 証明書' '0x800B010F' 'other.example'
# An address as the server name matches the certificate's IP address name
# (the system's policy may not match addresses: the engine does), and only it.
run trusted-address "$(port echo)" 127.0.0.1 1
expect_ok trusted-address '^ok TLSv1\.[23] verified=1'
run trusted-other-address "$(port echo)" 127.0.0.2 1
expect_refusal trusted-other-address '^TLS: 証明書' '0x800B010F'
run expired "$(port expired)" localhost 1
expect_refusal expired '^TLS: 証明書' '0x800B0101' 'CERT_TRUST_IS_NOT_TIME_VALID'
# The certificate alone now reaches the trusted root: accepted.
run trusted-leaf-only "$(port leaf)" localhost 1
expect_ok trusted-leaf-only '^ok TLSv1\.[23] verified=1'
# A trusted root, but the server's certificate was issued by a certificate
# that is no CA (which the SSL policy alone lets pass on Wine).
run not-a-ca "$(port notca)" localhost 1
expect_refusal not-a-ca '^TLS: 証明書' '0x80096019' 'CERT_TRUST_INVALID_BASIC_CONSTRAINTS'
# A wildcard that is part of a label matches no name.
run partial-wildcard "$(port wild)" www.example.test 1
expect_refusal partial-wildcard '^TLS: 証明書' 'www.example.test'
# A server that asks for a new handshake after the first is refused, checked
# or not: a renegotiation could bring another certificate.
run renegotiate "$(port reneg)" localhost 1
expect_refusal renegotiate '^TLS: ' '再ネゴシエーション' 'TLSv1.2'
run renegotiate-unverified "$(port reneg)" localhost 0
expect_refusal renegotiate-unverified '^TLS: ' '再ネゴシエーション'
# Not checked: an expired certificate is no reason to refuse.
run expired-unverified "$(port expired)" localhost 0
expect_ok expired-unverified '^ok TLSv1\.[23] verified=0'

# What arrives fed to the engine a few bytes at a time: every handshake
# message and record comes in pieces.
run pieces --chunk 3 --bytes 20000 "$(port echo)" localhost 1
expect_ok pieces '^ok TLSv1\.[23] verified=1 peer-closed=1'

# A server that speaks first right after the handshake (SMTP on the implicit
# TLS port), its greeting in the same write as its last handshake message:
# the greeting is read before anything is sent, without a further receive
# when it arrived whole with the handshake, and fed in pieces too.
run greeting --greeting "$(port greet)" localhost 1
expect_ok greeting '^ok TLSv1\.[23] verified=1 peer-closed=1 alert=1 greeting="220 greetings" greeting-receives=0'
run greeting-pieces --greeting --chunk 2 "$(port greet)" localhost 1
expect_ok greeting-pieces 'greeting="220 greetings"'

# A server that closes in the middle of the handshake.
run closed "$(port close)" localhost 1
expect_refusal closed '^TLS: ' '閉じました'

# A server that offers TLS 1.1 at most: refused, whatever the system allows.
run old "$(port old)" localhost 0
expect_refusal old '^TLS: ' 'TLS 1.2' 'TLSv1'

# A server that speaks TLS 1.3 only: Wine 8's SChannel has no TLS 1.3, so it
# is refused there with the server's own reason; a system with TLS 1.3 says ok.
run tls13 "$(port tls13)" localhost 1
if [ "$rc" -eq 0 ]; then
  expect_ok tls13 '^ok TLSv1\.3 verified=1'
else
  expect_refusal tls13 '^TLS: ' 'protocol_version'
fi

if [ "$failures" -ne 0 ]; then
  echo "tls_engine_wine: $failures failure(s); QW_KEEP_WORK=1 keeps the outputs" >&2
  exit 1
fi
echo "tls_engine_wine: all cases passed"
