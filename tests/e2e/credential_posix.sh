#!/usr/bin/env bash
# The SMTP password kept private on Linux the way the shipped unit does it:
# the host runs as an unprivileged user (as DynamicUser=yes gives), the
# settings file is root's and readable by all (0644) without a password, and
# the password comes from the systemd credential, a 0400 file of that user in
# $CREDENTIALS_DIRECTORY. Against aiosmtpd with AUTH: the credential logs in;
# it wins over a PASSWORD in the file (with a warning); an empty credential
# (the unit's default when /etc/quotawarden/smtp-password is missing) leaves
# the file's PASSWORD in use, with the warning that tells where to move it and
# without stopping the run; --set-secret writes the credential file 0600.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init credential_posix
[ "$(id -u)" -eq 0 ] || { echo "credential_posix: needs root to run the host as nobody; skipped"; exit 0; }
qw_need "$native_bin/QuotawardenService"
chmod 0755 "$work"
QW_FAIL_SHOW="$work/server.out"

# The ASan build reads nothing from /work the user may not see, but copy the
# program anyway so the test does not depend on the checkout's modes.
install -m 0755 "$native_bin/QuotawardenService" "$work/QuotawardenService"
host="$work/QuotawardenService"

password='s3cret-Pa55'
qw_spawn "$work/server.out" /usr/bin/python3 tests/e2e/auth_smtp_server.py "$work/port" "$work/server.log" warden "$password"
qw_wait_file "$work/port" 10 || fail "the SMTP server did not start"
port="$(cat "$work/port")"

# case NAME FILEPASSWORD CREDENTIAL|-: settings root 0644, state and log the
# user's, credential dir 0500 with a 0400 file of the user ("-": no dir).
run_case() {
  local name="$1" filepw="$2" cred="$3" dir="$work/$1"
  mkdir -p "$dir/etc" "$dir/state"
  printf '[WARNING]\nINTERVAL=24\nISMAILSEND=1\n[DRIVE]\nC=100%%\n[MAIL]\nSMTP=127.0.0.1\nPORT=%s\nMAILFROM=warden@example.jp\nMAILTO=admin@example.jp\nUSER=warden\nPASSWORD=%s\n' \
    "$port" "$filepw" >"$dir/etc/Drivewarden.ini"
  chmod 0644 "$dir/etc/Drivewarden.ini"
  chown root:root "$dir/etc/Drivewarden.ini"
  chown nobody:nogroup "$dir/state"
  local envs=()
  if [ "$cred" != "-" ]; then
    mkdir -p "$dir/creds"
    printf '%s' "$cred" >"$dir/creds/smtp-password"
    chown -R nobody:nogroup "$dir/creds"
    chmod 0400 "$dir/creds/smtp-password"
    chmod 0500 "$dir/creds"
    envs=(CREDENTIALS_DIRECTORY="$dir/creds")
  fi
  : >"$work/server.log"
  local rc=0
  timeout 30 setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env "${envs[@]}" ASAN_OPTIONS=detect_leaks=0 "$host" --once --windir="$dir/etc" --state-dir="$dir/state" \
    --eventlog="$dir/state/events.json" --mail-timeout=5 >"$dir/out" 2>"$dir/err" || rc=$?
  echo "$rc" >"$dir/rc"
  cp "$work/server.log" "$dir/server.log"
}
rc_of() { cat "$work/$1/rc"; }
show() { echo "--- $1" >&2; cat "$work/$1/err" "$work/$1/state/events.json" "$work/$1/server.log" >&2 2>/dev/null || true; }

# 1. The credential alone: logged in, delivered, no warning about the file.
run_case cred-only "" "$password"$'\n'
[ "$(rc_of cred-only)" -eq 0 ] || { show cred-only; fail "credential only: exit $(rc_of cred-only), expected 0"; }
grep -qx "ok warden" "$work/cred-only/server.log" || { show cred-only; fail "credential only: no accepted login"; }
grep -q "^mail warden@example.jp admin@example.jp" "$work/cred-only/server.log" || { show cred-only; fail "credential only: no mail"; }
if grep -q '"warning".*設定ファイル' "$work/cred-only/state/events.json"; then show cred-only; fail "credential only: a warning about the settings file"; fi
echo "credential only: delivered as nobody"

# 2. A wrong credential is what is sent (the server refuses it): the
#    credential is really the password used.
run_case cred-wrong "" "not-it"
[ "$(rc_of cred-wrong)" -eq 2 ] || { show cred-wrong; fail "wrong credential: exit $(rc_of cred-wrong), expected 2"; }
grep -qx "refused warden" "$work/cred-wrong/server.log" || { show cred-wrong; fail "wrong credential: no refused login"; }
echo "wrong credential: refused by the server"

# 3. Both: the credential wins over the file's (wrong) PASSWORD, and a
#    warning says the file's value is not used.
run_case both "stale-in-file" "$password"
[ "$(rc_of both)" -eq 0 ] || { show both; fail "both: exit $(rc_of both), expected 0"; }
grep -qx "ok warden" "$work/both/server.log" || { show both; fail "both: the credential did not log in"; }
grep -q '"warning".*使われません\|使われません.*"warning"' "$work/both/state/events.json" \
  || { show both; fail "both: no warning that the file's PASSWORD is ignored"; }
echo "both set: the credential wins, warned"

# 4. An empty credential (the unit's default without the file) and the
#    password in the readable file: still delivered, one warning entry that
#    tells to move it to the credential.
run_case file-only "$password" ""
[ "$(rc_of file-only)" -eq 0 ] || { show file-only; fail "file only: exit $(rc_of file-only), expected 0"; }
grep -qx "ok warden" "$work/file-only/server.log" || { show file-only; fail "file only: no accepted login"; }
n="$(grep -c '"warning".*他のユーザーも読めます' "$work/file-only/state/events.json" || true)"
[ "$n" -eq 1 ] || { show file-only; fail "file only: $n warning entries about the readable file, expected 1"; }
grep -q 'LoadCredential=' "$work/file-only/state/events.json" || { show file-only; fail "file only: the warning does not tell about the credential"; }
grep -q 'chmod 600 などで読める人を限って' "$work/file-only/state/events.json" && fail "file only: the old advice that stops the unit"
echo "password in a readable file: used, one warning pointing to the credential"

for c in cred-only cred-wrong both file-only; do
  if grep -q -e "$password" -e "stale-in-file" "$work/$c/err" "$work/$c/state/events.json" "$work/$c/out"; then
    fail "$c: a password appears in the output or the entries"
  fi
done

# 5. --set-secret: stdin into DIR/smtp-password, 0600; empty input and a
#    missing name are refused.
mkdir -p "$work/set"
printf '%s\r\n' "$password" | "$host" --set-secret PASSWORD --windir="$work/set" 2>"$work/set/err" \
  || { cat "$work/set/err" >&2; fail "--set-secret failed"; }
[ "$(stat -c %a "$work/set/smtp-password")" = 600 ] || fail "--set-secret: mode $(stat -c %a "$work/set/smtp-password")"
[ "$(cat "$work/set/smtp-password")" = "$password" ] || fail "--set-secret: the file does not hold the password"
rc=0; printf '' | "$host" --set-secret PASSWORD --windir="$work/set" 2>/dev/null || rc=$?
[ "$rc" -eq 1 ] || fail "--set-secret with empty input: exit $rc, expected 1"
[ "$(cat "$work/set/smtp-password")" = "$password" ] || fail "--set-secret with empty input changed the file"
rc=0; "$host" --set-secret --windir="$work/set" </dev/null 2>/dev/null || rc=$?
[ "$rc" -eq 64 ] || fail "--set-secret without PASSWORD: exit $rc, expected 64"
echo "--set-secret: stored 0600 from stdin, empty input refused"
echo "credential_posix: ok"
