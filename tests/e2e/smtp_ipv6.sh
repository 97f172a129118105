#!/usr/bin/env bash
# The SMTP client over IPv6 against a real peer: aiosmtpd listening on [::1]
# (and a second one on 127.0.0.1 only). smtp_send reaches it by a bare and a
# bracketed address, by a name that has only an IPv6 address, and by a name
# whose first address refuses (it goes on to the next one); a failure names
# the address tried last. Names come from a hosts file of the test's own,
# bound over /etc/hosts in a private mount namespace (unshare -m). The
# native client always runs; the cross-built one under Wine when built.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init smtp_ipv6
prefix="${BUILD_DIR_PREFIX:-build/}"
native="$native_bin/smtp_send"
winexe="$win64_bin/smtp_send.exe"
qw_need "$native"
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || fail "python3-aiosmtpd not installed"
if ! /usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET6); s.bind(("::1",0))' 2>/dev/null; then
  echo "smtp_ipv6: this machine has no IPv6 loopback; skipped"
  exit 0
fi
source scripts/lib/wine.sh
QW_FAIL_SHOW="$work/err.txt"

start_sink() {
  local host="$1" name="$2"
  qw_spawn "$work/$name.log" /usr/bin/python3 tests/e2e/ipv6_sink_server.py "$host" "$work/$name" "$work/$name.port"
  qw_wait_file "$work/$name.port" 10 || { cat "$work/$name.log" >&2; fail "the sink on $host did not start"; }
}
start_sink ::1 v6
start_sink 127.0.0.1 v4
v6port="$(cat "$work/v6.port")"
v4port="$(cat "$work/v4.port")"
closed="$(/usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET6); s.bind(("::1",0)); print(s.getsockname()[1])')"

printf '::1 dual.test\n127.0.0.1 dual.test\n::1 v6only.test\n' >"$work/hosts"
namespaces=""
if unshare -m sh -c "mount --bind '$work/hosts' /etc/hosts && getent ahosts v6only.test" >"$work/ns.txt" 2>&1 &&
   grep -q '^::1' "$work/ns.txt"; then
  namespaces=1
else
  echo "smtp_ipv6: no private mount namespace here; the cases by name are skipped"
fi
# Runs a command with the test's hosts file.
with_hosts() { unshare -m sh -c "mount --bind '$work/hosts' /etc/hosts && exec \"\$@\"" sh "$@"; }

count() { ls "$work/$1" 2>/dev/null | grep -c '\.eml$' || true; }

# expect_sent LABEL SINK RUNNER... : the command delivers one more message to
# SINK, which saw it come from the address the sink listens on.
expect_sent() {
  local label="$1" sink="$2"; shift 2
  local before; before="$(count "$sink")"
  if ! "$@" --from watch@example.test --to admin@example.test --subject "$label" --timeout 10 \
       >"$work/out.txt" 2>"$work/err.txt" </dev/null; then
    fail "$label: not sent"
  fi
  local after; after="$(count "$sink")"
  [ "$after" -eq $((before + 1)) ] || fail "$label: $after messages in $sink, expected $((before + 1))"
  local peer; peer="$(head -n1 "$work/$sink/$after.eml")"
  local want="peer ::1"; [ "$sink" = v4 ] && want="peer 127.0.0.1"
  [ "$peer" = "$want" ] || fail "$label: $peer, expected $want"
  grep -q "^Subject: $label" "$work/$sink/$after.eml" || fail "$label: subject lost"
  echo "$label: sent"
}

# expect_refused LABEL TEXT RUNNER... : the command fails with exit 1 and
# TEXT in its message.
expect_refused() {
  local label="$1" text="$2"; shift 2
  local rc=0
  "$@" --from watch@example.test --to admin@example.test --timeout 10 \
    >"$work/out.txt" 2>"$work/err.txt" </dev/null || rc=$?
  [ "$rc" -eq 1 ] || fail "$label: exit $rc, expected 1"
  grep -qF -- "$text" "$work/err.txt" || fail "$label: no '$text' in its message"
  echo "$label: refused as expected"
}

run_cases() {
  local tag="$1"; shift
  expect_sent "$tag bracketed" v6 "$@" --host "[::1]" --port "$v6port"
  expect_sent "$tag bare" v6 "$@" --host ::1 --port "$v6port"
  expect_refused "$tag nobody on [::1]" "(10061)" "$@" --host "[::1]" --port "$closed"
  if [ -n "$namespaces" ]; then
    expect_sent "$tag name with only an IPv6 address" v6 with_hosts "$@" --host v6only.test --port "$v6port"
    # ::1 comes first and refuses: the client goes on to 127.0.0.1.
    expect_sent "$tag name whose first address refuses" v4 with_hosts "$@" --host dual.test --port "$v4port"
    expect_refused "$tag every address refuses" "(the last of 2 addresses tried)" \
      with_hosts "$@" --host dual.test --port "$closed"
  fi
}

run_cases native "$native"

if [ -f "$winexe" ]; then
  qw_wine_prefix "${prefix}wine-smtp-ipv6"
  qw_on_exit qw_wine_stop
  run_cases wine wine "$winexe"
else
  echo "smtp_ipv6: $winexe not built; Wine run skipped"
fi
echo "smtp_ipv6: ok"
