#!/usr/bin/env bash
# The SMTP client over IPv6 against a real peer: aiosmtpd listening on [::1]
# (and a second one on 127.0.0.1 only). smtp_send reaches it by a bare and a
# bracketed address, by a name that has only an IPv6 address, and by a name
# whose first address refuses (it goes on to the next one); a failure names
# the address tried last. Names come from a hosts file of the test's own,
# bound over /etc/hosts in a private mount namespace (unshare -m). The
# native client always runs; the cross-built one under Wine when built.
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$(pwd)"
prefix="${BUILD_DIR_PREFIX:-build/}"
native="$root/${prefix}native/bin/smtp_send"
winexe="$root/${prefix}win64/bin/smtp_send.exe"
[ -x "$native" ] || { echo "smtp_ipv6: $native not built" >&2; exit 1; }
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || { echo "smtp_ipv6: python3-aiosmtpd not installed" >&2; exit 1; }
if ! /usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET6); s.bind(("::1",0))' 2>/dev/null; then
  echo "smtp_ipv6: this machine has no IPv6 loopback; skipped"
  exit 0
fi

source scripts/lib/wine.sh

work="$(mktemp -d /tmp/qw-e2e-smtp-ipv6.XXXXXX)"
pids=()
wine_started=""
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -n "$wine_started" ]; then qw_wine_stop; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A sink: every message is stored as <folder>/<n>.eml, with the peer's
# address on its first line.
cat >"$work/sink.py" <<'PY'
import asyncio, os, socket, sys, time
from aiosmtpd.controller import Controller

host, folder, portfile = sys.argv[1], sys.argv[2], sys.argv[3]
os.makedirs(folder, exist_ok=True)

class Store:
    count = 0
    async def handle_DATA(self, server, session, envelope):
        Store.count += 1
        with open(os.path.join(folder, "%d.eml" % Store.count), "wb") as f:
            f.write(("peer %s\n" % session.peer[0]).encode())
            f.write(envelope.original_content or envelope.content)
        return "250 2.0.0 stored"

family = socket.AF_INET6 if ":" in host else socket.AF_INET
probe = socket.socket(family)
probe.bind((host, 0))
port = probe.getsockname()[1]
probe.close()
controller = Controller(Store(), hostname=host, port=port)
controller.start()
with open(portfile + ".tmp", "w") as f:
    f.write(str(port))
os.rename(portfile + ".tmp", portfile)
deadline = time.time() + 300  # never outlives a stuck test by much
while time.time() < deadline:
    time.sleep(0.5)
controller.stop()
PY

start_sink() {
  local host="$1" name="$2"
  /usr/bin/python3 "$work/sink.py" "$host" "$work/$name" "$work/$name.port" >"$work/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/$name.port" ] && return 0; sleep 0.1; done
  echo "smtp_ipv6: the sink on $host did not start" >&2; cat "$work/$name.log" >&2; exit 1
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
    echo "smtp_ipv6: $label: not sent" >&2; cat "$work/err.txt" >&2; exit 1
  fi
  local after; after="$(count "$sink")"
  [ "$after" -eq $((before + 1)) ] || { echo "smtp_ipv6: $label: $after messages in $sink, expected $((before + 1))" >&2; exit 1; }
  local peer; peer="$(head -n1 "$work/$sink/$after.eml")"
  local want="peer ::1"; [ "$sink" = v4 ] && want="peer 127.0.0.1"
  [ "$peer" = "$want" ] || { echo "smtp_ipv6: $label: $peer, expected $want" >&2; exit 1; }
  grep -q "^Subject: $label" "$work/$sink/$after.eml" || { echo "smtp_ipv6: $label: subject lost" >&2; exit 1; }
  echo "$label: sent"
}

# expect_refused LABEL TEXT RUNNER... : the command fails with exit 1 and
# TEXT in its message.
expect_refused() {
  local label="$1" text="$2"; shift 2
  local rc=0
  "$@" --from watch@example.test --to admin@example.test --timeout 10 \
    >"$work/out.txt" 2>"$work/err.txt" </dev/null || rc=$?
  [ "$rc" -eq 1 ] || { echo "smtp_ipv6: $label: exit $rc, expected 1" >&2; cat "$work/err.txt" >&2; exit 1; }
  grep -qF -- "$text" "$work/err.txt" || { echo "smtp_ipv6: $label: no '$text' in:" >&2; cat "$work/err.txt" >&2; exit 1; }
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
  wine_started=1
  run_cases wine wine "$winexe"
else
  echo "smtp_ipv6: $winexe not built; Wine run skipped"
fi
echo "smtp_ipv6: ok"
