#!/usr/bin/env bash
# Interoperability of the SMTP client with a real MTA: exim4, run from its own
# configuration on a free loopback port, delivers into a Maildir; the stored
# message must hold the text the client sent, byte for byte (line ends
# aside), with the envelope it gave (To, Cc, Bcc, case-folded duplicate).
# The native client always runs; the cross-built one runs under Wine when
# it has been built.
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$(pwd)"
prefix="${BUILD_DIR_PREFIX:-build/}"
native="$root/${prefix}native/bin/smtp_send"
winexe="$root/${prefix}win64/bin/smtp_send.exe"
[ -x "$native" ] || { echo "smtp_exim: $native not built" >&2; exit 1; }
command -v exim4 >/dev/null || { echo "smtp_exim: exim4 not installed" >&2; exit 1; }

source scripts/lib/wine.sh

# The test data lives in a folder of its own outside the checkout: exim's
# delivery user (nobody) must reach the Maildir, and the checkout may sit in
# a private folder (mode 0700, as under /root).
work="$(mktemp -d /tmp/qw-e2e-smtp-exim.XXXXXX)"
pidfile="$work/exim.pid"
wine_started=""
cleanup() {
  if [ -f "$pidfile" ]; then kill "$(cat "$pidfile")" 2>/dev/null || true; fi
  if [ -n "$wine_started" ]; then qw_wine_stop; fi
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
port="$(free_port)"
mkdir -p "$work/spool" "$work/log" "$work/Maildir"
chmod 0755 "$work"  # the delivery runs as nobody
chmod 0777 "$work/Maildir"
if command -v runuser >/dev/null; then
  runuser -u nobody -- test -w "$work/Maildir" || { echo "smtp_exim: nobody cannot write $work/Maildir" >&2; exit 1; }
fi
cat >"$work/exim.conf" <<CONF
primary_hostname = mx.example.test
domainlist local_domains = example.test
spool_directory = $work/spool
log_file_path = $work/log/%slog
pid_file_path = $pidfile
local_interfaces = <; 127.0.0.1
exim_user = root
exim_group = root
never_users =
host_lookup =
rfc1413_hosts =
acl_smtp_rcpt = check_rcpt
acl_smtp_data = check_data
message_size_limit = 50M
keep_environment =

begin acl
check_rcpt:
  accept domains = +local_domains
  deny   message = relay not permitted
check_data:
  accept

begin routers
to_maildir:
  driver = accept
  domains = +local_domains
  transport = maildir_delivery

begin transports
maildir_delivery:
  driver = appendfile
  directory = $work/Maildir
  maildir_format
  create_directory
  delivery_date_add
  envelope_to_add
  return_path_add
  user = nobody
  group = nogroup
  mode = 0644

begin retry
*  *  F,1m,1m
CONF

exim4 -C "$work/exim.conf" -bd -oX "$port" -oP "$pidfile"
for i in $(seq 50); do
  /usr/bin/python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$port),1)" 2>/dev/null && break
  sleep 0.1
done

# A body with lines that begin with a period, Shift-JIS bytes and a long
# run of lines, so that it goes out in several packets.
body="$work/body.txt"
{
  printf 'Drive report\r\n.\r\n..two\r\n.leading period\r\n'
  printf '\x83\x68\x83\x89\x83\x43\x83\x75 C: \x8b\xf3\x82\xab\x97\xcc\x88\xe6\r\n'
  for i in $(seq 1 4000); do printf 'line %05d of the alert body, padded to a fair length\r\n' "$i"; done
  printf 'last line\r\n'
} >"$body"

count_mails() { ls "$work/Maildir/new" 2>/dev/null | wc -l || true; }

deliver() {  # label, command...
  local label="$1"; shift
  local before; before=$(count_mails)
  "$@" || { echo "smtp_exim: $label: delivery failed" >&2; cat "$work/log/"*log >&2 || true; return 1; }
  for i in $(seq 100); do [ "$(count_mails)" -ge $((before + 3)) ] && break; sleep 0.1; done
  [ "$(count_mails)" -ge $((before + 3)) ] || { echo "smtp_exim: $label: not delivered to three mailboxes" >&2; cat "$work/log/"*log >&2 || true; return 1; }
}

check() {  # label, sent-file
  local label="$1" sent="$2"
  /usr/bin/python3 - "$work/Maildir/new" "$sent" "$label" <<'PY'
import os, sys
folder, sent_path, label = sys.argv[1:4]
sent = open(sent_path, "rb").read().replace(b"\r\n", b"\n")
msgid = [l for l in sent.split(b"\n") if l.lower().startswith(b"message-id:")][0]
stored = []
for name in sorted(os.listdir(folder)):
    data = open(os.path.join(folder, name), "rb").read()
    if msgid in data:
        stored.append(data)
if len(stored) != 3:
    sys.exit(f"{label}: expected 3 stored copies of {msgid!r}, found {len(stored)}")
targets = set()
for data in stored:
    head = data.split(b"\n\n", 1)[0]
    env = [l for l in head.split(b"\n") if l.startswith(b"Envelope-to:")]
    targets.update(env[0][len(b"Envelope-to:"):].strip().split(b", "))
    if not data.endswith(sent + b"\n"):
        sys.exit(f"{label}: stored message does not end with the text sent")
    if b"\nBcc:" in data or data.startswith(b"Bcc:"):
        sys.exit(f"{label}: Bcc line reached the server")
    if b"\n.leading period\n" not in data or b"\n.\n" not in data or b"\n..two\n" not in data:
        sys.exit(f"{label}: period lines changed")
    if b"\x83\x68\x83\x89\x83\x43\x83\x75" not in data:
        sys.exit(f"{label}: 8-bit bytes changed")
want = {b"admin@example.test", b"ops@example.test", b"audit@example.test"}
if targets != want:
    sys.exit(f"{label}: envelope recipients {sorted(targets)} != {sorted(want)}")
print(f"{label}: 3 copies stored intact")
PY
}

deliver native "$native" --host 127.0.0.1 --port "$port" --from watch@example.test \
  --to "admin@example.test,ADMIN@example.test" --cc ops@example.test --bcc audit@example.test \
  --subject "Low disk space" --body-file "$body" --packet 32768 --sent-file "$work/sent-native.txt"
check native "$work/sent-native.txt"

# A host name that is looked up, and a refused recipient.
if "$native" --host localhost --port "$port" --from watch@example.test --to someone@elsewhere.test \
     --body-file "$body" --timeout 10 2>"$work/refused.err"; then
  echo "smtp_exim: a relay recipient was accepted" >&2; exit 1
fi
grep -q "did not accept" "$work/refused.err" || { cat "$work/refused.err" >&2; exit 1; }
echo "refused relay: reported as failure"

if [ -f "$winexe" ]; then
  qw_wine_prefix "${prefix}wine-smtp-exim"
  wine_started=1
  deliver wine wine "$winexe" --host 127.0.0.1 --port "$port" --from watch@example.test \
    --to "admin@example.test,ADMIN@example.test" --cc ops@example.test --bcc audit@example.test \
    --subject "Low disk space (Wine)" --body-file "$body" --packet 32768 \
    --sent-file "$work/sent-wine.txt" >"$work/wine.out" 2>"$work/wine.err" </dev/null \
    || { cat "$work/wine.err" >&2; exit 1; }
  check wine "$work/sent-wine.txt"
else
  echo "smtp_exim: $winexe not built; Wine run skipped"
fi
echo "smtp_exim: ok"
