# Peers for the tests of the HTTP client: loopback HTTPS servers with a test
# CA, and tinyproxy as a real proxy. Source it after common.sh and
# qw_e2e_init (it sources exim.sh for qw_test_certs); both peers are started
# with qw_spawn and so ended on exit.
#
#   qw_http_certs DIR        qw_test_certs, plus DIR/unknown-leaf.crt (the
#                            same key, from a CA nobody trusts) and
#                            DIR/other.crt with DIR/other.key (by the test
#                            CA, for other.example only), DIR/userca.crt and
#                            DIR/userca-leaf.crt (the same key, from a CA a
#                            Windows test trusts for its user only)
#   qw_http_servers DIR      start tests/e2e/https_test_server.py with the
#                            servers good (localhost by the test CA), unknown
#                            (unknown CA), other (wrong name), userca (the
#                            user's CA), plain (HTTP)
#                            and silent; their ports in http_port[NAME];
#                            requests logged to DIR/requests.jsonl
#   qw_tinyproxy DIR         start tinyproxy on a free loopback port (in
#                            $proxy_port), log DIR/tinyproxy/tinyproxy.log
#   qw_http_requests DIR SERVER
#                            how many requests SERVER has logged
#   qw_proxy_connects DIR    how many CONNECT requests tinyproxy has logged

source "$root/tests/e2e/lib/exim.sh"

declare -gA http_port

qw_http_certs() {
  qw_test_certs "$1"
  (
    cd "$1"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quotawarden Unknown CA" \
      -keyout unknown-ca.key -out unknown-ca.crt 2>/dev/null
    openssl x509 -req -in server.csr -CA unknown-ca.crt -CAkey unknown-ca.key -CAcreateserial -days 2 \
      -extfile server.ext -out unknown-leaf.crt 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=other.example" -keyout other.key -out other.csr 2>/dev/null
    printf 'subjectAltName=DNS:other.example\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >other.ext
    openssl x509 -req -in other.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
      -extfile other.ext -out other.crt 2>/dev/null
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quotawarden User CA" \
      -keyout userca.key -out userca.crt 2>/dev/null
    openssl x509 -req -in server.csr -CA userca.crt -CAkey userca.key -CAcreateserial -days 2 \
      -extfile server.ext -out userca-leaf.crt 2>/dev/null
  )
}

qw_http_servers() {
  local dir="$1"
  rm -f "$dir/ports"
  qw_spawn "$dir/https-server.txt" /usr/bin/python3 "$root/tests/e2e/https_test_server.py" "$dir/ports" \
    "$dir/requests.jsonl" good="$dir/server.crt:$dir/server.key" unknown="$dir/unknown-leaf.crt:$dir/server.key" \
    other="$dir/other.crt:$dir/other.key" userca="$dir/userca-leaf.crt:$dir/server.key" plain=plain
  qw_wait_file "$dir/ports" 10 || fail "the HTTPS test server did not start: $(cat "$dir/https-server.txt")"
  local name port
  while read -r name port; do http_port[$name]="$port"; done <"$dir/ports"
  touch "$dir/requests.jsonl"
}

qw_tinyproxy() {
  local dir="$1"
  proxy_port="$(qw_free_port)"
  # tinyproxy started as root runs as nobody: its log folder must be open.
  mkdir -p "$dir/tinyproxy"
  chmod 0777 "$dir/tinyproxy"
  cat >"$dir/tinyproxy/tinyproxy.conf" <<CONF
Port $proxy_port
Listen 127.0.0.1
Timeout 30
LogFile "$dir/tinyproxy/tinyproxy.log"
LogLevel Connect
MaxClients 20
Allow 127.0.0.1
CONF
  qw_spawn "$dir/tinyproxy/out.txt" tinyproxy -d -c "$dir/tinyproxy/tinyproxy.conf"
  qw_wait_port "$proxy_port" || fail "tinyproxy did not start: $(cat "$dir/tinyproxy/out.txt")"
}

qw_http_requests() { qw_py http_requests count "$1/requests.jsonl" "$2"; }

qw_proxy_connects() {
  local n=0
  [ -f "$1/tinyproxy/tinyproxy.log" ] && n="$(grep -c 'Request (file descriptor [0-9]*): CONNECT ' "$1/tinyproxy/tinyproxy.log" || true)"
  echo "$n"
}
