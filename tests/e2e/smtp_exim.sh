#!/usr/bin/env bash
# Interoperability of the SMTP client with a real MTA: exim4, run from its own
# configuration on a free loopback port, delivers into a Maildir; the stored
# message must hold the text the client sent, byte for byte (line ends
# aside), with the envelope it gave (To, Cc, Bcc, case-folded duplicate).
# The native client always runs; the cross-built one runs under Wine when
# it has been built.
source "$(dirname "$0")/lib/common.sh"
# The test data lives in a folder of its own outside the checkout: exim's
# delivery user (nobody) must reach the Maildir, and the checkout may sit in
# a private folder (mode 0700, as under /root).
qw_e2e_init smtp_exim
source tests/e2e/lib/exim.sh
prefix="${BUILD_DIR_PREFIX:-build/}"
native="$native_bin/smtp_send"
winexe="$win64_bin/smtp_send.exe"
qw_need "$native"
command -v exim4 >/dev/null || fail "exim4 not installed"
source scripts/lib/wine.sh
QW_FAIL_SHOW="$work/log/*"

port="$(qw_free_port)"
qw_exim_conf "$work/exim.conf" "$work" "$port" DOMAIN=example.test ENVELOPE=1
if command -v runuser >/dev/null; then
  runuser -u nobody -- test -w "$work/Maildir" || fail "nobody cannot write $work/Maildir"
fi
qw_exim_start "$work/exim.conf" "$port" || fail "exim did not listen on $port"

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
  "$@" || { echo "smtp_exim: $label: delivery failed" >&2; return 1; }
  delivered() { [ "$(count_mails)" -ge $((before + 3)) ]; }
  qw_wait_for 10 delivered || { echo "smtp_exim: $label: not delivered to three mailboxes" >&2; return 1; }
}

check() {  # label, sent-file
  local label="$1" sent="$2"
  qw_py checks/smtp_exim "$work/Maildir/new" "$sent" "$label"
}

deliver native "$native" --host 127.0.0.1 --port "$port" --from watch@example.test \
  --to "admin@example.test,ADMIN@example.test" --cc ops@example.test --bcc audit@example.test \
  --subject "Low disk space" --body-file "$body" --packet 32768 --sent-file "$work/sent-native.txt" \
  || fail "native: not delivered"
check native "$work/sent-native.txt"

# A host name that is looked up, and a refused recipient.
if "$native" --host localhost --port "$port" --from watch@example.test --to someone@elsewhere.test \
     --body-file "$body" --timeout 10 2>"$work/refused.err"; then
  fail "a relay recipient was accepted"
fi
grep -q "did not accept" "$work/refused.err" || { cat "$work/refused.err" >&2; fail "the refused relay is not reported"; }
echo "refused relay: reported as failure"

if [ -f "$winexe" ]; then
  qw_wine_prefix "${prefix}wine-smtp-exim"
  qw_on_exit qw_wine_stop
  deliver wine wine "$winexe" --host 127.0.0.1 --port "$port" --from watch@example.test \
    --to "admin@example.test,ADMIN@example.test" --cc ops@example.test --bcc audit@example.test \
    --subject "Low disk space (Wine)" --body-file "$body" --packet 32768 \
    --sent-file "$work/sent-wine.txt" >"$work/wine.out" 2>"$work/wine.err" </dev/null \
    || { cat "$work/wine.err" >&2; fail "wine: delivery failed"; }
  check wine "$work/sent-wine.txt"
else
  echo "smtp_exim: $winexe not built; Wine run skipped"
fi
echo "smtp_exim: ok"
