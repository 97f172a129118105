#!/usr/bin/env bash
# Secure submission from the installed Windows service under Wine: exim4 (TLS
# by GnuTLS) with a test CA and a server certificate for localhost made here,
# AUTH PLAIN and LOGIN for a test user; the test CA is added to the Wine
# machine's trusted roots. For each of STARTTLS+PLAIN, STARTTLS+LOGIN and
# TLS+PLAIN the service, started through Wine's Service Control Manager,
# mails its first check's alert, which arrives intact in exim's Maildir with
# the report of the warning entry as its body; TLSVERIFY=1 throughout, no
# error entry, and the password in no entry.
#
# Every wine command writes to files, never to a pipe.
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$(pwd)"
winbin="${QW_WIN64_BIN:-build/win64/bin}"
exe_built="$winbin/QuotawardenService.exe"
probe_built="$winbin/tls_probe.exe"
for f in "$exe_built" "$probe_built"; do [ -f "$f" ] || { echo "smtp_tls_exim_wine: $f is not built" >&2; exit 1; }; done
command -v exim4 >/dev/null || { echo "smtp_tls_exim_wine: exim4 not installed" >&2; exit 1; }

# Outside the checkout: exim's delivery user (nobody) must reach the Maildir.
work="$(mktemp -d /tmp/qw-e2e-tls-wine.XXXXXX)"
source scripts/lib/wine.sh
source scripts/lib/exim_tls.sh
wine_started=""
cleanup() {
  if [ -n "$wine_started" ]; then
    wine sc stop Drivewarden >/dev/null 2>&1 </dev/null || true
    qw_wine_stop
  fi
  for f in "$work"/exim*.pid; do [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null || true; done
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "smtp_tls_exim_wine: $*" >&2
  for f in "$work"/*.txt "$work/events.json"; do [ -f "$f" ] && { echo "== $f"; cat "$f"; } >&2; done
  exit 1
}
user=tester
password='Test-Pass-456'

qw_test_certs "$work"
starttls_port="$(qw_free_port)"
tls_port="$(qw_free_port)"
login_port="$(qw_free_port)"
qw_exim_tls_conf "$work" "$user" "$password" "$starttls_port" "$tls_port"
exim4 -C "$work/exim.conf" -bd
# The LOGIN-only server: the client takes PLAIN whenever it is offered.
qw_exim_login_only "$work" "$login_port"
exim4 -C "$work/exim-login.conf" -bd
for p in "$starttls_port" "$tls_port" "$login_port"; do qw_wait_port "$p" || fail "exim did not listen on $p"; done

qw_wine_prefix "$work/prefix"
wine_started=1
events="$work/events.json"
qw_wine_service_eventlog "$events" "$work/reg-env.txt" || fail "reg add"

dir="$WINEPREFIX/drive_c/Quotawarden"
mkdir -p "$dir"
cp "$exe_built" "$probe_built" "$dir/"
exe='C:\Quotawarden\QuotawardenService.exe'
# The test CA among the machine's trusted roots (the probe's handshake with
# exim's implicit-TLS port then verifies; its echo check does not matter).
ca_win="Z:${work//\//\\}\\ca.crt"
wine 'C:\Quotawarden\tls_probe.exe' --trust "$ca_win" --greeting "$tls_port" localhost 1 \
  >"$work/trust.txt" 2>&1 </dev/null || true

ini="$WINEPREFIX/drive_c/windows/Drivewarden.ini"
write_ini() {  # port security
  printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n[MAIL]\r\nSMTP=localhost\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\nSECURITY=%s\r\nUSER=%s\r\nPASSWORD=%s\r\nTLSVERIFY=1\r\n' \
    "$1" "$2" "$user" "$password" >"$ini"
}
# Installed with no settings yet; each case writes its settings and starts
# the service, whose first check mails the alert.
wine "$exe" /INSTALL /SILENT >"$work/install.txt" 2>&1 </dev/null || fail "/INSTALL /SILENT failed"
state() { wine sc query Drivewarden >"$work/query.txt" 2>&1 </dev/null || true; grep -o 'STATE *: *[0-9]* *[A-Z_]*' "$work/query.txt" | awk '{print $NF}'; }
mails() { ls "$work/Maildir/new" 2>/dev/null | wc -l; }
n=0
for c in "starttls-plain $starttls_port STARTTLS" "starttls-login $login_port STARTTLS" "tls-plain $tls_port TLS"; do
  set -- $c
  name="$1"
  write_ini "$2" "$3"
  n=$((n + 1))
  wine sc start Drivewarden >"$work/start-$name.txt" 2>&1 </dev/null || true
  if grep -q 1060 "$work/start-$name.txt"; then
    qw_wine_stop; wineserver -p >/dev/null 2>&1 </dev/null
    wine sc start Drivewarden >"$work/start-$name.txt" 2>&1 </dev/null || true
  fi
  for _ in $(seq 60); do [ "$(mails)" -ge "$n" ] && break; grep -q '"error"' "$events" 2>/dev/null && break; sleep 1; done
  [ "$(mails)" -ge "$n" ] || fail "$name: no mail arrived ($(mails) in the Maildir)"
  wine sc stop Drivewarden >"$work/stop-$name.txt" 2>&1 </dev/null || true
  for _ in $(seq 50); do [ "$(state)" = STOPPED ] && break; sleep 0.2; done
  echo "$name: delivered"
done
wine "$exe" /UNINSTALL /SILENT >"$work/uninstall.txt" 2>&1 </dev/null || true

/usr/bin/python3 - "$work" "$password" <<'PY' || fail "the mails or the entries are not right"
import email, email.policy, glob, json, os, sys
work, password = sys.argv[1], sys.argv[2]
events = [json.loads(l) for l in open(os.path.join(work, "events.json"), encoding="utf-8")]
for e in events:
    assert password not in e["text"], "the password appears in an entry"
errors = [e for e in events if e["type"] == "error"]
assert not errors, errors
# Wine keeps no DACL a file is given (it derives one from the Unix mode), so
# each load of a file holding a password also warns that Everyone can read it.
readable = [e for e in events if e["type"] == "warning" and "他のユーザーも読めます (Everyone)" in e["text"]]
assert len(readable) >= 3, events
warnings = [e["text"] for e in events if e["source"] == "Drivewarden" and e["type"] == "warning" and e["id"] == 5610
            and e not in readable]
assert len(warnings) == 3, events
mails = sorted(glob.glob(os.path.join(work, "Maildir", "new", "*")))
assert len(mails) == 3, mails
for path in mails:
    msg = email.message_from_bytes(open(path, "rb").read(), policy=email.policy.default)
    assert str(msg["Subject"]) == "ドライブ領域不足のお知らせ", msg["Subject"]
    # The Maildir keeps LF line ends; the entry is the report without its blank lines.
    body = msg.get_content().replace("\r\n", "\n").replace("\n\n", "\n").rstrip("\n")
    assert body in [w.replace("\r\n", "\n") for w in warnings], (body, warnings)
    received = str(msg.get_all("Received"))
    assert "TLS" in received.upper() or "tls" in received, received
print("ok: 3 alerts over TLS")
PY
echo "smtp_tls_exim_wine: ok"
