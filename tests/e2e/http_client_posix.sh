#!/usr/bin/env bash
# The POSIX HTTP client (libcurl) through http_probe against loopback HTTPS
# servers of Python's http.server with a test CA, and through tinyproxy:
# answers of every status taken as answers, the certificate and the name
# refused before a request leaves, silent and trickling servers bounded by the
# time-out, a body over the limit refused, the proxy given or from
# https_proxy, and a cancel from another thread.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init http_client_posix
source tests/e2e/lib/http_peers.sh
probe_bin="$native_bin/http_probe"
qw_need "$probe_bin"
command -v tinyproxy >/dev/null || fail "tinyproxy not installed"
# From here on a failed check is counted and the run goes on: every case is
# reported; the script fails at the end.
failures=0
check_failed() {
  echo "http_client_posix: FAIL $*" >&2
  failures=$((failures + 1))
}

qw_http_certs "$work"
qw_http_servers "$work"
qw_tinyproxy "$work"
unset https_proxy HTTPS_PROXY http_proxy HTTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY SSL_CERT_DIR CURL_CA_BUNDLE
export SSL_CERT_FILE="$work/ca.crt"
good="https://localhost:${http_port[good]}"

# probe CASE [http_probe arguments...]: output in $work/CASE.out and .err,
# the exit code in $rc, the time Send took in $elapsed (ms).
probe() {
  local name="$1"; shift
  rc=0
  "$probe_bin" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null || rc=$?
  elapsed="$(sed -n 's/^elapsed-ms: //p' "$work/$name.err")"
  elapsed="${elapsed:-0}"
  echo "[$SECONDS s] $name: exit $rc in ${elapsed} ms: $(head -1 "$work/$name.out")"
}
expect() {  # CASE RC PATTERN: the exit code and a line of the output
  [ "$rc" -eq "$2" ] || check_failed "$1: exit $rc, expected $2"
  grep -aq -- "$3" "$work/$1.out" || check_failed "$1: no '$3' in: $(head -3 "$work/$1.out")"
}

# Answers, whatever their status; the request as sent (headers in order,
# the body byte for byte).
printf 'grant_type=client_credentials&scope=a%%20b\r\n\xe6\x97\xa5' >"$work/body.bin"
rc=0
"$probe_bin" --method POST --header "Content-Type: application/x-www-form-urlencoded" \
  --header "X-First: 1" --header "X-Second: two words" --body-stdin "$good/echo" \
  <"$work/body.bin" >"$work/post.out" 2>"$work/post.err" || rc=$?
echo "[$SECONDS s] post: exit $rc: $(head -1 "$work/post.out")"
expect post 0 '^status: 200$'
grep -q '^content-type: application/json; charset=utf-8$' "$work/post.out" || check_failed "post: content type"
qw_py http_requests sent-as-is "$work/post.out" "$work/body.bin" --no-expect ||
  check_failed "post: the server did not see the request as sent"
for code in 404 500; do
  probe "status-$code" "$good/status/$code"
  expect "status-$code" 0 "^status: $code\$"
  grep -q "^status $code" "$work/status-$code.out" || check_failed "status-$code: body not read"
done
probe redirect "$good/redirect"
expect redirect 0 '^status: 302$'
probe exact "$good/size/1048576"
expect exact 0 '^body-bytes: 1048576$'

# Plain http only to loopback, refused elsewhere before any connection.
probe plain "http://127.0.0.1:${http_port[plain]}/echo"
expect plain 0 '^status: 200$'
probe plain-remote --timeout 20000 "http://192.0.2.1/token"
expect plain-remote 1 'ループバック'
[ "$elapsed" -lt 1000 ] || check_failed "plain-remote: took $elapsed ms (a connection was tried)"

# The certificate: unknown CA, wrong name, and the test CA not trusted when
# SSL_CERT_FILE does not name it; trusted through SSL_CERT_DIR. None of the
# refused servers receives a request.
probe unknown-ca "https://localhost:${http_port[unknown]}/echo"
expect unknown-ca 1 '証明書'
probe wrong-name "https://localhost:${http_port[other]}/echo"
expect wrong-name 1 '証明書'
rc=0
env -u SSL_CERT_FILE "$probe_bin" "$good/echo" >"$work/system-roots.out" 2>&1 </dev/null || rc=$?
expect system-roots 1 '証明書'
mkdir -p "$work/certdir"
cp "$work/ca.crt" "$work/certdir/"
openssl rehash "$work/certdir" 2>/dev/null || c_rehash "$work/certdir" >/dev/null
rc=0
env -u SSL_CERT_FILE SSL_CERT_DIR="$work/certdir" "$probe_bin" "$good/echo" >"$work/cert-dir.out" 2>&1 </dev/null || rc=$?
expect cert-dir 0 '^status: 200$'
[ "$(qw_http_requests "$work" unknown)" -eq 0 ] || check_failed "the server of the unknown CA received a request"
[ "$(qw_http_requests "$work" other)" -eq 0 ] || check_failed "the server of the wrong name received a request"

# Silent and trickling servers are bounded by the time-out; a body over the
# limit is refused (announced or chunked).
probe silent-handshake --timeout 1500 "https://localhost:${http_port[silent]}/"
expect silent-handshake 3 'failed: timed-out'
[ "$elapsed" -ge 1400 ] && [ "$elapsed" -lt 3000 ] || check_failed "silent-handshake: $elapsed ms for a 1500 ms time-out"
probe silent-answer --timeout 1500 "$good/silent"
expect silent-answer 3 'failed: timed-out'
[ "$elapsed" -ge 1400 ] && [ "$elapsed" -lt 3000 ] || check_failed "silent-answer: $elapsed ms for a 1500 ms time-out"
probe trickle --timeout 2000 "$good/trickle"
expect trickle 3 'failed: timed-out'
[ "$elapsed" -ge 1900 ] && [ "$elapsed" -lt 3500 ] || check_failed "trickle: $elapsed ms for a 2000 ms time-out"
probe huge "$good/size/1048577"
expect huge 1 '大きすぎ'
probe huge-chunked "$good/chunked/3000000"
expect huge-chunked 1 '大きすぎ'

# A cancel from another thread during a silent answer.
probe cancel --timeout 20000 --cancel-after 500 "$good/silent"
expect cancel 4 'failed: cancelled'
[ "$elapsed" -lt 2000 ] || check_failed "cancel: returned after $elapsed ms"

# Through tinyproxy: named, then from https_proxy; a proxy that is down.
before="$(qw_proxy_connects "$work")"
probe proxy --proxy "127.0.0.1:$proxy_port" "$good/echo"
expect proxy 0 '^status: 200$'
[ "$(qw_proxy_connects "$work")" -eq $((before + 1)) ] || check_failed "proxy: tinyproxy saw no CONNECT"
rc=0
https_proxy="http://127.0.0.1:$proxy_port" "$probe_bin" "$good/echo" >"$work/proxy-env.out" 2>&1 </dev/null || rc=$?
expect proxy-env 0 '^status: 200$'
[ "$(qw_proxy_connects "$work")" -eq $((before + 2)) ] || check_failed "proxy-env: tinyproxy saw no CONNECT"
rc=0
https_proxy="http://127.0.0.1:$proxy_port" "$probe_bin" "https://localhost:${http_port[unknown]}/echo" \
  >"$work/proxy-unknown-ca.out" 2>&1 </dev/null || rc=$?
expect proxy-unknown-ca 1 '証明書'
dead="$(qw_free_port)"
probe proxy-down --proxy "http://127.0.0.1:$dead" "$good/echo"
expect proxy-down 1 'プロキシ'
[ "$(qw_http_requests "$work" unknown)" -eq 0 ] || check_failed "the server of the unknown CA received a request through the proxy"
rc=0
https_proxy="http://127.0.0.1:$dead" "$probe_bin" "$good/echo" >"$work/proxy-env-down.out" 2>&1 </dev/null || rc=$?
expect proxy-env-down 1 "プロキシ 127.0.0.1:$dead\|127.0.0.1:$dead"

if [ "$failures" -ne 0 ]; then
  for f in "$work"/*.out; do { echo "== $f"; head -c 400 "$f"; echo; } >&2; done
  fail "$failures failure(s)"
fi
echo "http_client_posix: ok"
