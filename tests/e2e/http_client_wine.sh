#!/usr/bin/env bash
# The Windows HTTP client (WinHTTP) under Wine through http_probe.exe, against
# loopback HTTPS servers of Python's http.server whose test CA is among the
# prefix's machine trusted roots, and through tinyproxy: answers of every
# status taken as answers, refused certificates (unknown CA, wrong name, and a
# CA that only the user trusts, which WinHTTP under Wine accepts and the
# client's own check by the machine's chain engine refuses), silent and
# trickling servers bounded by the time-out, a body over the limit refused,
# the proxy given or from WinHTTP's machine settings, and a cancel from
# another thread.
#
# Every wine command writes to files, never to a pipe.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init http_client_wine
source tests/e2e/lib/wine.sh
source tests/e2e/lib/http_peers.sh
qw_need "$win64_bin/http_probe.exe"
command -v tinyproxy >/dev/null || fail "tinyproxy not installed"
# From here on a failed check is counted and the run goes on: every case is
# reported; the script fails at the end.
failures=0
check_failed() {
  echo "http_client_wine: FAIL $*" >&2
  failures=$((failures + 1))
}
# Wine's WinHTTP would take a proxy from these when the machine has none.
unset https_proxy HTTPS_PROXY http_proxy HTTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

qw_http_certs "$work"
qw_http_servers "$work"
qw_tinyproxy "$work"
qw_wine_setup copy
echo "[$SECONDS s] prefix ready"
cp "$win64_bin/http_probe.exe" "$work/"
exe="$work/http_probe.exe"
winpath() { echo "Z:${1//\//\\}"; }
good="https://localhost:${http_port[good]}"

# probe CASE [http_probe arguments...]: output in $work/CASE.out and .err,
# the exit code in $rc, the time Send took in $elapsed (ms).
probe() {
  local name="$1"; shift
  rc=0
  timeout 60 wine "$exe" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null || rc=$?
  elapsed="$(tr -d '\r' <"$work/$name.err" | sed -n 's/^elapsed-ms: //p')"
  elapsed="${elapsed:-0}"
  echo "[$SECONDS s] $name: exit $rc in ${elapsed} ms: $(head -1 "$work/$name.out")"
}
expect() {  # CASE RC PATTERN: the exit code and a line of the output
  [ "$rc" -eq "$2" ] || check_failed "$1: exit $rc, expected $2"
  grep -aq -- "$3" "$work/$1.out" || check_failed "$1: no '$3' in: $(head -c 300 "$work/$1.out")"
}

# Nothing trusted yet: the test CA is refused.
probe untrusted "$good/echo"
expect untrusted 1 'failed: other'
[ "$(qw_http_requests "$work" good)" -eq 0 ] || check_failed "untrusted: the server received a request"
probe trust --trust "$(winpath "$work/ca.crt")" --trust-user "$(winpath "$work/userca.crt")"
[ "$rc" -eq 0 ] || check_failed "trust: the CAs were not added: $(cat "$work/trust.err")"

# Answers, whatever their status; the request as sent.
printf 'grant_type=client_credentials&scope=a%%20b\r\n\xe6\x97\xa5' >"$work/body.bin"
rc=0
timeout 60 wine "$exe" --method POST --header "Content-Type: application/x-www-form-urlencoded" \
  --header "X-First: 1" --header "X-Second: two words" --body-stdin "$good/echo" \
  <"$work/body.bin" >"$work/post.out" 2>"$work/post.err" || rc=$?
echo "[$SECONDS s] post: exit $rc: $(head -1 "$work/post.out")"
expect post 0 '^status: 200'
qw_py http_requests sent-as-is "$work/post.out" "$work/body.bin" ||
  check_failed "post: the server did not see the request as sent"
for code in 404 500; do
  probe "status-$code" "$good/status/$code"
  expect "status-$code" 0 "^status: $code"
done
probe redirect "$good/redirect"
expect redirect 0 '^status: 302'
probe exact "$good/size/1048576"
expect exact 0 '^body-bytes: 1048576'
probe plain "http://127.0.0.1:${http_port[plain]}/echo"
expect plain 0 '^status: 200'
probe plain-remote --timeout 20000 "http://192.0.2.1/token"
expect plain-remote 1 'ループバック'

# The certificate: none of the refused servers receives a request, except
# the user's CA, which WinHTTP under Wine accepts: its request line and
# headers arrive, the body never does.
probe unknown-ca "https://localhost:${http_port[unknown]}/echo"
expect unknown-ca 1 'failed: other'
probe wrong-name "https://localhost:${http_port[other]}/echo"
expect wrong-name 1 'failed: other'
[ "$(qw_http_requests "$work" unknown)" -eq 0 ] || check_failed "the server of the unknown CA received a request"
[ "$(qw_http_requests "$work" other)" -eq 0 ] || check_failed "the server of the wrong name received a request"
rc=0
timeout 60 wine "$exe" --method POST --body-stdin "https://localhost:${http_port[userca]}/echo" \
  <"$work/body.bin" >"$work/user-ca.out" 2>"$work/user-ca.err" || rc=$?
echo "[$SECONDS s] user-ca: exit $rc: $(head -1 "$work/user-ca.out")"
expect user-ca 1 'CERT_TRUST_IS_'
qw_py http_requests no-body "$work/requests.jsonl" userca || check_failed "user-ca: the body reached the server"

# Silent and trickling servers are bounded by the time-out; a body over the
# limit is refused (announced or chunked); a cancel from another thread.
probe silent-handshake --timeout 1500 "https://localhost:${http_port[silent]}/"
expect silent-handshake 3 'failed: timed-out'
[ "$elapsed" -ge 1400 ] && [ "$elapsed" -lt 3500 ] || check_failed "silent-handshake: $elapsed ms for a 1500 ms time-out"
probe silent-answer --timeout 1500 "$good/silent"
expect silent-answer 3 'failed: timed-out'
[ "$elapsed" -ge 1400 ] && [ "$elapsed" -lt 3500 ] || check_failed "silent-answer: $elapsed ms for a 1500 ms time-out"
probe trickle --timeout 2000 "$good/trickle"
expect trickle 3 'failed: timed-out'
[ "$elapsed" -ge 1900 ] && [ "$elapsed" -lt 4000 ] || check_failed "trickle: $elapsed ms for a 2000 ms time-out"
probe huge "$good/size/1048577"
expect huge 1 '大きすぎ'
probe huge-chunked "$good/chunked/3000000"
expect huge-chunked 1 '大きすぎ'
probe cancel --timeout 20000 --cancel-after 500 "$good/silent"
expect cancel 4 'failed: cancelled'
[ "$elapsed" -lt 2500 ] || check_failed "cancel: returned after $elapsed ms"

# Through tinyproxy: named, then as WinHTTP's machine proxy; proxies that
# are down; the machine setting cleared again.
before="$(qw_proxy_connects "$work")"
probe proxy --proxy "127.0.0.1:$proxy_port" "$good/echo"
expect proxy 0 '^status: 200'
[ "$(qw_proxy_connects "$work")" -eq $((before + 1)) ] || check_failed "proxy: tinyproxy saw no CONNECT"
probe machine-proxy --machine-proxy "127.0.0.1:$proxy_port" "$good/echo"
expect machine-proxy 0 '^status: 200'
[ "$(qw_proxy_connects "$work")" -eq $((before + 2)) ] || check_failed "machine-proxy: tinyproxy saw no CONNECT"
probe machine-proxy-unknown-ca "https://localhost:${http_port[unknown]}/echo"
expect machine-proxy-unknown-ca 1 'failed: other'
[ "$(qw_http_requests "$work" unknown)" -eq 0 ] || check_failed "the server of the unknown CA received a request through the proxy"
dead="$(qw_free_port)"
probe machine-proxy-down --machine-proxy "127.0.0.1:$dead" "$good/echo"
expect machine-proxy-down 1 "プロキシ.*127.0.0.1:$dead"
probe proxy-down --proxy "http://127.0.0.1:$dead" "$good/echo"
expect proxy-down 1 "プロキシ.*127.0.0.1:$dead"
probe direct --machine-proxy none "$good/echo"
expect direct 0 '^status: 200'
[ "$(qw_proxy_connects "$work")" -eq $((before + 3)) ] || check_failed "direct: not direct (or the unknown CA's request did not go through the proxy)"

if [ "$failures" -ne 0 ]; then
  for f in "$work"/*.out "$work"/*.err; do { echo "== $f"; head -c 400 "$f"; echo; } >&2; done
  fail "$failures failure(s)"
fi
echo "http_client_wine: ok"
