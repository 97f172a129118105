#!/usr/bin/env bash
# The SMTP password and the state folder under Wine, without the service
# installed (/TESTMAIL loads the settings as the service does; a run by hand
# prepares the state folder before the dispatcher fails):
#  - a clear PASSWORD typed into the file logs in, is replaced by its
#    protected form at the load (one information entry), and the protected
#    form logs in again without a second entry;
#  - Wine derives the file's DACL from the Unix mode and keeps none it is
#    given, so a file holding a password is readable by Everyone: one warning
#    entry per load says so;
#  - /SETSECRET PASSWORD reads standard input: stores a new protected value
#    that logs in; exits 3 here because the rights do not hold; an empty
#    input (1) and a missing name (64) change nothing; /SETSECRET
#    CLIENTSECRET keeps the OAuth 2.0 client secret the same way;
#  - a state folder that is a symbolic link is not followed: an error entry,
#    and nothing written where it points; a missing one is made.
# Every wine command writes to files, never to a pipe.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init secrets_wine build/e2e-secrets-wine
source tests/e2e/lib/wine.sh
exe="$win64_bin/QuotawardenService.exe"
qw_need "$exe"
QW_FAIL_SHOW="$work/*.out $work/*.err $work/events.json $work/server.log"

password='Wine-s3cret'
qw_spawn "$work/server.out" /usr/bin/python3 tests/e2e/auth_smtp_server.py "$work/port" "$work/server.log" warden "$password"
qw_wait_file "$work/port" 10 || fail "the SMTP server did not start"

qw_wine_setup
events="$work/events.json"
export QUOTAWARDEN_EVENTLOG="Z:${events//\//\\}"
ini="$WINEPREFIX/drive_c/windows/Drivewarden.ini"
printf '[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%s\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\nUSER=warden\r\nPASSWORD=%s\r\n' \
  "$(cat "$work/port")" "$password" >"$ini"
chmod 0600 "$ini"

stored() { tr -d '\r' <"$ini" | sed -n 's/^PASSWORD=//p'; }
count() { local n=0; [ -f "$events" ] && n="$(grep -c "$1" "$events" || true)"; echo "${n:-0}"; }
test_mail() {  # test_mail NAME: a delivered test mail with a login accepted
  : >"$work/server.log"
  local rc=0
  timeout 120 wine "$exe" /TESTMAIL >"$work/$1.out" 2>"$work/$1.err" </dev/null || rc=$?
  [ "$rc" -eq 0 ] || fail "$1: /TESTMAIL exit $rc"
  grep -qx "ok warden" "$work/server.log" || fail "$1: the login was not accepted"
}

# A clear password: used, then stored protected with one information entry.
test_mail clear
first="$(stored)"
case "$first" in dpapi:*) ;; *) fail "the clear password is still in the file" ;; esac
[ "$(count '"information".*平文でした')" -eq 1 ] || fail "no single information entry for the moved password"
[ "$(count '"warning".*他のユーザーも読めます (Everyone)')" -eq 1 ] || fail "no single warning for the readable file"
echo "clear password: logged in, stored protected, one information and one warning entry"

# The protected form logs in; nothing moved again; the warning again (a load).
test_mail protected
[ "$(stored)" = "$first" ] || fail "the protected value changed at a load"
[ "$(count '"information".*平文でした')" -eq 1 ] || fail "a second information entry for a protected value"
[ "$(count '"warning".*他のユーザーも読めます')" -eq 2 ] || fail "no warning at the second load"
echo "protected password: logged in, unchanged"

# /SETSECRET from standard input.
printf '%s\r\n' "$password" >"$work/input.txt"
rc=0
timeout 60 wine "$exe" /SETSECRET PASSWORD >"$work/set.out" 2>"$work/set.err" <"$work/input.txt" || rc=$?
[ "$rc" -eq 3 ] || fail "/SETSECRET exit $rc, expected 3 (Wine keeps no DACL)"
grep -q "Everyone" "$work/set.err" || fail "/SETSECRET does not name who can read the file"
second="$(stored)"
case "$second" in dpapi:*) ;; *) fail "/SETSECRET stored no protected value" ;; esac
[ "$second" != "$first" ] || fail "/SETSECRET stored nothing new"
if grep -q "$password" "$ini"; then fail "the clear password is in the file"; fi
test_mail after-set
: >"$work/empty.txt"
rc=0
timeout 60 wine "$exe" /SETSECRET PASSWORD >"$work/empty.out" 2>"$work/empty.err" <"$work/empty.txt" || rc=$?
[ "$rc" -eq 1 ] || fail "/SETSECRET with empty input: exit $rc, expected 1"
rc=0
timeout 60 wine "$exe" /SETSECRET >"$work/noname.out" 2>"$work/noname.err" <"$work/input.txt" || rc=$?
[ "$rc" -eq 64 ] || fail "/SETSECRET without PASSWORD: exit $rc, expected 64"
[ "$(stored)" = "$second" ] || fail "a refused /SETSECRET changed the file"
echo "/SETSECRET: stored protected from stdin (exit 3 under Wine), refusals change nothing"

# /SETSECRET CLIENTSECRET: the OAuth 2.0 client secret, kept the same way,
# beside the password and without touching it.
printf '%s\r\n' 'Client-s3cret+/=' >"$work/client.txt"
rc=0
timeout 60 wine "$exe" /SETSECRET CLIENTSECRET >"$work/client.out" 2>"$work/client.err" <"$work/client.txt" || rc=$?
[ "$rc" -eq 3 ] || fail "/SETSECRET CLIENTSECRET exit $rc, expected 3 (Wine keeps no DACL)"
client="$(tr -d '\r' <"$ini" | sed -n 's/^CLIENTSECRET=//p')"
case "$client" in dpapi:*) ;; *) fail "/SETSECRET CLIENTSECRET stored no protected value: '$client'" ;; esac
if grep -q "Client-s3cret" "$ini"; then fail "the clear client secret is in the file"; fi
[ "$(stored)" = "$second" ] || fail "/SETSECRET CLIENTSECRET changed the password"
echo "/SETSECRET CLIENTSECRET: stored protected beside the password"

# The state folder: a symbolic link is not followed.
state="$WINEPREFIX/drive_c/ProgramData/Quotawarden"
rm -rf "$state"
mkdir -p "$work/elsewhere"
ln -s "$work/elsewhere" "$state"
: >"$events"
timeout 60 wine "$exe" >"$work/link.out" 2>"$work/link.err" </dev/null || true
grep -q '"error".*状態ファイルを書き込めません.*シンボリック リンク' "$events" || fail "no error entry for a linked state folder"
[ -z "$(ls -A "$work/elsewhere")" ] || fail "something was written where the link points"
[ -L "$state" ] || fail "the link was replaced"
rm "$state"
: >"$events"
timeout 60 wine "$exe" >"$work/made.out" 2>"$work/made.err" </dev/null || true
[ -d "$state" ] || fail "the missing state folder was not made"
if grep -q '"error".*状態ファイル' "$events"; then fail "an error entry for a state folder made here"; fi
echo "state folder: a link refused, a missing one made"
echo "secrets_wine: passed"
