# Peers for the tests of the HTTP client: loopback HTTPS servers with a test
# CA, and tinyproxy as a real proxy. Source this file (after
# scripts/lib/exim_tls.sh, for qw_free_port, qw_wait_port and qw_test_certs).
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
#                            requests logged to DIR/requests.jsonl; its pid
#                            in DIR/https-server.pid
#   qw_tinyproxy DIR         start tinyproxy on a free loopback port (in
#                            $proxy_port), log DIR/tinyproxy/tinyproxy.log,
#                            pid in DIR/tinyproxy.pid
#   qw_http_requests DIR SERVER
#                            how many requests SERVER has logged
#   qw_proxy_connects DIR    how many CONNECT requests tinyproxy has logged
#   qw_http_peers_stop DIR   end the server and tinyproxy

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
  /usr/bin/python3 tests/e2e/https_test_server.py "$dir/ports" "$dir/requests.jsonl" \
    good="$dir/server.crt:$dir/server.key" unknown="$dir/unknown-leaf.crt:$dir/server.key" \
    other="$dir/other.crt:$dir/other.key" userca="$dir/userca-leaf.crt:$dir/server.key" plain=plain >"$dir/https-server.txt" 2>&1 </dev/null &
  echo $! >"$dir/https-server.pid"
  for _ in $(seq 100); do [ -f "$dir/ports" ] && break; sleep 0.1; done
  [ -f "$dir/ports" ] || { cat "$dir/https-server.txt" >&2; return 1; }
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
  tinyproxy -d -c "$dir/tinyproxy/tinyproxy.conf" >"$dir/tinyproxy/out.txt" 2>&1 </dev/null &
  echo $! >"$dir/tinyproxy.pid"
  qw_wait_port "$proxy_port" || { cat "$dir/tinyproxy/out.txt" >&2; return 1; }
}

qw_http_requests() {
  /usr/bin/python3 - "$1/requests.jsonl" "$2" <<'PY'
import json, sys
print(sum(1 for l in open(sys.argv[1], encoding="utf-8") if json.loads(l)["server"] == sys.argv[2]))
PY
}

qw_proxy_connects() {
  local n=0
  [ -f "$1/tinyproxy/tinyproxy.log" ] && n="$(grep -c 'Request (file descriptor [0-9]*): CONNECT ' "$1/tinyproxy/tinyproxy.log" || true)"
  echo "$n"
}

qw_http_peers_stop() {
  local f
  for f in "$1/https-server.pid" "$1/tinyproxy.pid"; do
    [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null || true
  done
}
