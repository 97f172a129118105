#!/usr/bin/env bash
# The MSI package's OAuth 2.0 properties under Wine's msiexec: a refused
# value fails the installation (1603) naming the property, with no settings
# file behind; a sound command line without a secret installs, writes the
# login without CLIENTSECRET and with mail off (the log says how to go on),
# and the service runs; the package is removed again.
# A wine command's exit code keeps its low byte only: 1603 reads 67.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init msi_oauth_wine build/e2e-msi-oauth-wine
source tests/e2e/lib/wine.sh
version="$(tr -d '[:space:]' <VERSION)"
msi="build/win64/Quotawarden-$version.msi"
qw_need "$msi"
QW_FAIL_SHOW="$work/*.txt"

qw_wine_setup copy
cp "$msi" "$work/package.msi"
win() { local p; p="$(realpath -m "$1")"; echo "Z:${p//\//\\}"; }
ini="$WINEPREFIX/drive_c/windows/Drivewarden.ini"
msiexec_rc() {  # msiexec_rc NAME ARGS...: runs msiexec, prints its exit code
  local name="$1"; shift
  local rc=0
  timeout 300 wine msiexec /i "$(win "$work/package.msi")" /qn /l*v "$(win "$work/$name.log")" "$@" \
    >"$work/$name.txt" 2>&1 </dev/null || rc=$?
  echo "$rc"
}
# The log is UTF-16 or the ANSI code page: its NUL bytes go, and only ASCII
# is looked for.
logged() { tr -d '\0' <"$work/$1.log" | grep -aqF -- "$2"; }

oauth=(SMTP=smtp.office365.com MAILTO=ops@example.jp AUTH=OAUTH2 USER=alerts@contoso.com
       TENANT=contoso.onmicrosoft.com CLIENTID=6731de76-14a6-49ae-97bc-6eba6914391e)
refused() {  # refused NAME NAMED PROPERTIES...: 1603, NAMED in the log, no file
  local name="$1" named="$2"; shift 2
  local rc
  rc="$(msiexec_rc "$name" "$@")"
  [ "$rc" = 67 ] || fail "$name: exit code $rc, not 1603 (67)"
  logged "$name" "Quotawarden: the settings are refused: $named" || fail "$name: the log does not name $named"
  [ ! -e "$ini" ] || fail "$name: a settings file was written"
  echo "msi_oauth_wine: $name refused, naming $named"
}
refused auth "AUTH=BASIC: " SMTP=mail.example.jp AUTH=BASIC
refused no-tls "SECURITY=: " "${oauth[@]}"
refused tenant "TENANT=contoso..com: " "${oauth[@]}" SECURITY=STARTTLS TENANT=contoso..com
refused user-without-oauth "USER=alerts@contoso.com: " SMTP=mail.example.jp USER=alerts@contoso.com

rc="$(msiexec_rc install "${oauth[@]}" SECURITY=STARTTLS)"
[ "$rc" = 0 ] || fail "install: exit code $rc"
logged install "Quotawarden: mail stays off (ISMAILSEND=0) until the client secret is stored" ||
  fail "install: the log does not say mail stays off until the secret is stored"
value() { tr -d '\r' <"$ini" | sed -n "s/^$1=//p"; }
for expected in ISMAILSEND=0 SECURITY=STARTTLS PORT=587 AUTH=OAUTH2 USER=alerts@contoso.com \
    TENANT=contoso.onmicrosoft.com CLIENTID=6731de76-14a6-49ae-97bc-6eba6914391e CLIENTSECRET=; do
  [ "$(value "${expected%%=*}")" = "${expected#*=}" ] || fail "install: ${expected%%=*} is '$(value "${expected%%=*}")'"
done
wine sc query Drivewarden >"$work/query.txt" 2>&1 </dev/null || true
grep -q RUNNING "$work/query.txt" || fail "install: the service is not running: $(cat "$work/query.txt")"
echo "msi_oauth_wine: installed with the OAuth 2.0 login, mail off until the secret, the service running"

rc=0
timeout 300 wine msiexec /x "$(win "$work/package.msi")" /qn >"$work/uninstall.txt" 2>&1 </dev/null || rc=$?
[ "$rc" = 0 ] || fail "uninstall: exit code $rc"
echo "msi_oauth_wine: passed"
