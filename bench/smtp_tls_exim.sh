#!/usr/bin/env bash
# One small alert over STARTTLS with AUTH PLAIN against a loopback exim4
# (test CA and certificate made here), connect to QUIT, in one run:
#  - ours: the smtp_send tool, timed as a whole process (start included, so
#    an upper bound of the client's own time);
#  - Python's smtplib: starttls() + login() + sendmail(), timed inside one
#    interpreter (its start not counted);
#  - msmtp with the same settings, as a whole process.
# Prints the median of each and the ratios. Usage: bench/smtp_tls_exim.sh [N]
source "$(dirname "$0")/../tests/e2e/lib/common.sh"
qw_e2e_init bench_smtp_tls
source tests/e2e/lib/exim.sh
runs="${1:-30}"
# The Release build of the benchmarks when it is there; the sanitizer build
# of the tests otherwise (slower: an upper bound).
send="$root/${BUILD_DIR_PREFIX:-build/}bench/bin/smtp_send"
[ -x "$send" ] || send="$root/build/native/bin/smtp_send"
[ -x "$send" ] || fail "$send not built"
echo "bench: client $send"
command -v exim4 >/dev/null && command -v msmtp >/dev/null || fail "exim4 and msmtp needed"

qw_test_certs "$work"
port="$(qw_free_port)"
qw_exim_conf "$work/exim.conf" "$work" "$port" CERT="$work/server.crt" KEY="$work/server.key" \
  USER=bench PASSWORD=Bench-Pass-1 QUEUEONLY=1
qw_exim_start "$work/exim.conf" "$port" || fail "exim did not listen on $port"
printf 'Drive C: is low.\r\n' >"$work/body.txt"
export SSL_CERT_FILE="$work/ca.crt" BENCH_PASSWORD=Bench-Pass-1

ours=()
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  "$send" --host localhost --port "$port" --from w@example.jp --to a@example.jp --body-file "$work/body.txt" \
    --security STARTTLS --user bench --password-env BENCH_PASSWORD >/dev/null
  ours+=($(( ($(date +%s%N) - start) / 1000 )))
done

smtplib=$(/usr/bin/python3 bench/smtplib_times.py "$port" "$runs" "$work/ca.crt")

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

/usr/bin/python3 bench/smtp_medians.py "${ours[*]}" "$smtplib" "${msmtp_times[*]}"
