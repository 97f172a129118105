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
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$(pwd)"
source scripts/lib/exim_tls.sh
bin="$root/build/native/bin"
host_exe="$bin/QuotawardenService"
[ -x "$host_exe" ] || { echo "smtp_tls_exim: $host_exe not built" >&2; exit 1; }
command -v exim4 >/dev/null || { echo "smtp_tls_exim: exim4 not installed" >&2; exit 1; }
command -v openssl >/dev/null || { echo "smtp_tls_exim: openssl not installed" >&2; exit 1; }

# Outside the checkout: exim's delivery user (nobody) must reach the Maildir.
work="$(mktemp -d /tmp/qw-e2e-smtp-tls.XXXXXX)"
pidfile="$work/exim.pid"
pids=()
cleanup() {
  for f in "$pidfile" "$work/exim-login.pid" "$work/exim-other.pid" "$work/exim-expired.pid"; do
    if [ -f "$f" ]; then kill "$(cat "$f")" 2>/dev/null || true; fi
  done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "smtp_tls_exim: $*" >&2; exit 1; }

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
qw_exim_tls_conf "$work" "$user" "$password" "$starttls_port" "$tls_port"
exim4 -C "$work/exim.conf" -bd
qw_wait_port "$starttls_port" && qw_wait_port "$tls_port" || { cat "$work/log/"* >&2 2>/dev/null; fail "exim did not listen"; }

# ---- the test server for the faults exim does not make ----
start_fake() {  # name, --at scripts...
  local name="$1"; shift
  "$bin/smtp_test_server" --port-file "$work/$name.port" --maildir "$work/$name.mail" --log "$work/$name.cmds" "$@" \
    >"$work/$name.server.log" 2>&1 &
  pids+=($!)
}
mkdir -p "$work/nostarttls.mail" "$work/closing.mail" "$work/silent.mail"
start_fake nostarttls --at 'EHLO=:250-localhost\n250 AUTH PLAIN LOGIN'
start_fake closing --at 'EHLO=:250-localhost\n250 STARTTLS' --at 'STARTTLS=close:220 2.0.0 go ahead'
start_fake silent --at 'EHLO=:250-localhost\n250 STARTTLS' --at 'STARTTLS=:220 2.0.0 go ahead'
for name in nostarttls closing silent; do
  for _ in $(seq 100); do [ -s "$work/$name.port" ] && break; sleep 0.1; done
  [ -s "$work/$name.port" ] || fail "test server $name did not start"
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
sed -e "s|^daemon_smtp_ports = .*|daemon_smtp_ports = $other_port|" -e "/^tls_on_connect_ports/d" \
    -e "s|^pid_file_path = .*|pid_file_path = $work/exim-other.pid|" \
    -e "s|^tls_certificate = .*|tls_certificate = $work/other.crt|" \
    -e "s|^tls_privatekey = .*|tls_privatekey = $work/other.key|" "$work/exim.conf" >"$work/exim-other.conf"
exim4 -C "$work/exim-other.conf" -bd
# And with the expired one.
expired_port="$(qw_free_port)"
sed -e "s|^daemon_smtp_ports = .*|daemon_smtp_ports = $expired_port|" -e "/^tls_on_connect_ports/d" \
    -e "s|^pid_file_path = .*|pid_file_path = $work/exim-expired.pid|" \
    -e "s|^tls_certificate = .*|tls_certificate = $work/expired.crt|" "$work/exim.conf" >"$work/exim-expired.conf"
exim4 -C "$work/exim-expired.conf" -bd
qw_wait_port "$other_port" || fail "the exim with the other certificate did not listen"
qw_wait_port "$expired_port" || fail "the exim with the expired certificate did not listen"

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
qw_exim_login_only "$work" "$login_port"
exim4 -C "$work/exim-login.conf" -bd
qw_wait_port "$login_port" || fail "the LOGIN-only exim did not listen"
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

for _ in $(seq 50); do [ "$(ls "$work/Maildir/new" 2>/dev/null | wc -l)" -ge 5 ] && break; sleep 0.1; done

/usr/bin/python3 - "$work" "$password" <<'PY'
import email, email.policy, glob, json, os, sys
work, password = sys.argv[1], sys.argv[2]
problems = []

def case(name):
    d = os.path.join(work, "case-" + name)
    rc = int(open(os.path.join(d, "rc")).read())
    events = []
    path = os.path.join(d, "events.json")
    if os.path.exists(path):
        events = [json.loads(l) for l in open(path, encoding="utf-8")]
    err = open(os.path.join(d, "err"), encoding="utf-8", errors="replace").read()
    for text in [e["text"] for e in events] + [err]:
        if password in text or "not-the-password" in text:
            problems.append(f"{name}: the password appears in an entry or on stderr")
    return rc, events, err

def delivered(name, info=None):
    rc, events, err = case(name)
    if rc != 0:
        problems.append(f"{name}: exit {rc}: {err.strip()}")
        return
    errors = [e for e in events if e["type"] == "error"]
    if errors:
        problems.append(f"{name}: error entries {errors}")
    infos = [e["text"] for e in events if e["type"] == "information"]
    if info is None and infos:
        problems.append(f"{name}: unexpected information entries {infos}")
    if info is not None and not any(info in t for t in infos):
        problems.append(f"{name}: no information entry with {info!r}: {infos}")
    print(f"{name}: delivered" + (f", entry: {infos}" if infos else ""))

def refused(name, *wanted):
    rc, events, err = case(name)
    if rc != 2:
        problems.append(f"{name}: exit {rc}, expected 2: {err.strip()}")
    errors = [e["text"] for e in events if e["type"] == "error"]
    if len(errors) != 1:
        problems.append(f"{name}: {len(errors)} error entries: {errors}")
        return
    for w in wanted:
        if w not in errors[0]:
            problems.append(f"{name}: {w!r} not in the entry {errors[0]!r}")
    print(f"{name}: {errors[0]}")

delivered("starttls-plain")
delivered("starttls-login")
delivered("tls-plain")
delivered("unverified", "証明書を検証していない")
refused("wrong-password", "AUTH: 535 ")
refused("unknown-ca", "TLS: 証明書", "unable to get local issuer certificate")
refused("other-host", "TLS: 証明書", "hostname mismatch")
refused("other-address", "TLS: 証明書", "IP address mismatch")
refused("expired", "TLS: 証明書", "certificate has expired")
refused("no-starttls", "STARTTLS: the server does not offer STARTTLS")
refused("closing", "TLS: connection closed by the server")
refused("silent", "TLS: time-out after 3 s")

# The four delivered alerts, each whole in exim's Maildir: its body is the
# report of the warning entry of one delivered case.
reports = set()
for name in ("starttls-plain", "starttls-login", "tls-plain", "unverified"):
    reports.update(e["text"] for e in case(name)[1] if e["type"] == "warning")
mails = sorted(glob.glob(os.path.join(work, "Maildir", "new", "*")))
alerts = [p for p in mails if b"transcript check" not in open(p, "rb").read()]
for path in mails:
    data = open(path, "rb").read()
    if b"transcript check" in data and not (b"\nline 40000 of a long alert body" in data
                                           and data.rstrip(b"\n").endswith(b"\nlast line") and b"\n.leading period\n" in data):
        problems.append("the long body over TLS did not arrive whole")
if len(mails) != 5 or len(alerts) != 4:
    problems.append(f"{len(mails)} mails in the Maildir ({len(alerts)} alerts), expected 5 (4 alerts)")
for path in alerts:
    msg = email.message_from_bytes(open(path, "rb").read(), policy=email.policy.default)
    body = msg.get_content().replace("\r\n", "\n").replace("\n\n", "\n").rstrip("\n")
    if str(msg["Subject"]) != "ドライブ領域不足のお知らせ" or body not in {r.replace("\r\n", "\n") for r in reports}:
        problems.append(f"{path}: not the alert: {msg['Subject']!r} {body[:200]!r} {sorted(reports)[:1]!r}")
for name in ("nostarttls", "closing", "silent"):
    if glob.glob(os.path.join(work, name + ".mail", "*.eml")):
        problems.append(f"{name}: a message reached the server without TLS")
    log = open(os.path.join(work, name + ".cmds"), errors="replace").read()
    if "AUTH" in log or "MAIL FROM" in log:
        problems.append(f"{name}: AUTH or MAIL went out in clear")
if problems:
    print("\n".join(problems), file=sys.stderr)
    sys.exit(1)
PY
echo "smtp_tls_exim: ok"
