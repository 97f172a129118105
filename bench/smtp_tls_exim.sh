#!/usr/bin/env bash
# One small alert over STARTTLS with AUTH PLAIN against a loopback exim4
# (test CA and certificate made here), connect to QUIT, in one run:
#  - ours: the smtp_send tool, timed as a whole process (start included, so
#    an upper bound of the client's own time);
#  - Python's smtplib: starttls() + login() + sendmail(), timed inside one
#    interpreter (its start not counted);
#  - msmtp with the same settings, as a whole process.
# Prints the median of each and the ratios. Usage: bench/smtp_tls_exim.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
runs="${1:-30}"
# The Release build of the benchmarks when it is there; the sanitizer build
# of the tests otherwise (slower: an upper bound).
send="$root/${BUILD_DIR_PREFIX:-build/}bench/bin/smtp_send"
[ -x "$send" ] || send="$root/build/native/bin/smtp_send"
[ -x "$send" ] || { echo "bench: $send not built" >&2; exit 1; }
echo "bench: client $send"
command -v exim4 >/dev/null && command -v msmtp >/dev/null || { echo "bench: exim4 and msmtp needed" >&2; exit 1; }

work="$(mktemp -d /tmp/qw-bench-tls.XXXXXX)"
cleanup() {
  if [ -f "$work/exim.pid" ]; then kill "$(cat "$work/exim.pid")" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
(
  cd "$work"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Bench CA" -keyout ca.key -out ca.crt 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr 2>/dev/null
  printf 'subjectAltName=DNS:localhost\n' >server.ext
  openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext \
    -out server.crt 2>/dev/null
  chmod 0644 server.key
)
port="$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
mkdir -p "$work/spool" "$work/log" "$work/Maildir"
chmod 0755 "$work"; chmod 0777 "$work/Maildir"
cat >"$work/exim.conf" <<CONF
primary_hostname = mx.example.test
domainlist local_domains = example.jp
spool_directory = $work/spool
log_file_path = $work/log/%slog
pid_file_path = $work/exim.pid
local_interfaces = <; 127.0.0.1
daemon_smtp_ports = $port
tls_advertise_hosts = *
tls_certificate = $work/server.crt
tls_privatekey = $work/server.key
exim_user = root
exim_group = root
never_users =
host_lookup =
rfc1413_hosts =
acl_smtp_rcpt = check_rcpt
keep_environment =
queue_only = true
begin acl
check_rcpt:
  accept authenticated = *
  deny   message = authentication required
begin authenticators
plain:
  driver = plaintext
  public_name = PLAIN
  server_prompts = :
  server_condition = \${if and {{eq{\$auth2}{bench}}{eq{\$auth3}{Bench-Pass-1}}}}
  server_set_id = \$auth2
CONF
exim4 -C "$work/exim.conf" -bd
for _ in $(seq 100); do
  /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1',$port),1)" 2>/dev/null && break
  sleep 0.1
done
printf 'Drive C: is low.\r\n' >"$work/body.txt"
export SSL_CERT_FILE="$work/ca.crt" BENCH_PASSWORD=Bench-Pass-1

ours=()
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  "$send" --host localhost --port "$port" --from w@example.jp --to a@example.jp --body-file "$work/body.txt" \
    --security STARTTLS --user bench --password-env BENCH_PASSWORD >/dev/null
  ours+=($(( ($(date +%s%N) - start) / 1000 )))
done

smtplib=$(/usr/bin/python3 - "$port" "$runs" "$work/ca.crt" <<'PY'
import smtplib, ssl, sys, time
port, runs, ca = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
context = ssl.create_default_context(cafile=ca)
times = []
for _ in range(runs):
    t = time.perf_counter()
    with smtplib.SMTP("localhost", port) as s:
        s.starttls(context=context)
        s.login("bench", "Bench-Pass-1")
        s.sendmail("w@example.jp", ["a@example.jp"], "Subject: low\r\n\r\nDrive C: is low.\r\n")
    times.append(int((time.perf_counter() - t) * 1e6))
print(" ".join(map(str, times)))
PY
)

cat >"$work/msmtprc" <<RC
account bench
host localhost
port $port
tls on
tls_starttls on
tls_trust_file $work/ca.crt
auth plain
user bench
password Bench-Pass-1
from w@example.jp
account default : bench
RC
chmod 0600 "$work/msmtprc"
msmtp_times=()
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  printf 'Subject: low\r\n\r\nDrive C: is low.\r\n' | msmtp -C "$work/msmtprc" a@example.jp
  msmtp_times+=($(( ($(date +%s%N) - start) / 1000 )))
done

/usr/bin/python3 - "${ours[*]}" "$smtplib" "${msmtp_times[*]}" <<'PY'
import statistics, sys
names = ["ours (smtp_send, whole process)", "smtplib (in process)", "msmtp (whole process)"]
medians = [statistics.median(int(x) for x in arg.split()) for arg in sys.argv[1:4]]
for name, m in zip(names, medians):
    print(f"{name:34s} median {m / 1000:8.2f} ms")
print(f"ours / smtplib = {medians[0] / medians[1]:.2f}   ours / msmtp = {medians[0] / medians[2]:.2f}")
PY
