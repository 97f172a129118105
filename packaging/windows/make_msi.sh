#!/usr/bin/env bash
# Builds the MSI package from the built programs, signing them first when a
# code-signing key and certificate are named:
#   make_msi.sh SERVICE_EXE APPLET_CPL SETUP_DLL OUT_MSI     (QW_VERSION=X.Y.Z)
# Signing (osslsigncode): QW_SIGN_CERT (PEM or DER certificate chain) and
# QW_SIGN_KEY (PEM or DER private key) name the files; QW_SIGN_PASS is the
# key's password if it has one; QW_SIGN_TIMESTAMP_URL, when set, is an RFC 3161
# time-stamp server. Naming only one of key and certificate is an error.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: make_msi.sh SERVICE_EXE APPLET_CPL SETUP_DLL OUT_MSI" >&2; exit 2; }
: "${QW_VERSION:?QW_VERSION is not set}"
here="$(cd "$(dirname "$0")" && pwd)"
out="$4"
stage="$(dirname "$out")/msi-stage"
rm -rf "$stage"
mkdir -p "$stage"
cp "$1" "$stage/QuotawardenService.exe"
cp "$2" "$stage/QuotawardenCtrlPanel.cpl"
cp "$3" "$stage/QuotawardenSetup.dll"

signing=""
if [ -n "${QW_SIGN_CERT:-}" ] || [ -n "${QW_SIGN_KEY:-}" ]; then
  [ -f "${QW_SIGN_CERT:-}" ] || { echo "make_msi: QW_SIGN_CERT does not name a file" >&2; exit 1; }
  [ -f "${QW_SIGN_KEY:-}" ] || { echo "make_msi: QW_SIGN_KEY does not name a file" >&2; exit 1; }
  command -v osslsigncode >/dev/null || { echo "make_msi: osslsigncode is not installed" >&2; exit 1; }
  signing=1
fi
sign() {  # sign FILE: replaces FILE by its signed copy
  local args=(sign -certs "$QW_SIGN_CERT" -key "$QW_SIGN_KEY" -n "Quotawarden" -h sha256)
  [ -n "${QW_SIGN_PASS:-}" ] && args+=(-pass "$QW_SIGN_PASS")
  [ -n "${QW_SIGN_TIMESTAMP_URL:-}" ] && args+=(-ts "$QW_SIGN_TIMESTAMP_URL")
  rm -f "$1.signed"
  osslsigncode "${args[@]}" -in "$1" -out "$1.signed" >"$1.sign.log" 2>&1 ||
    { echo "make_msi: signing $1 failed:" >&2; cat "$1.sign.log" >&2; exit 1; }
  mv "$1.signed" "$1"
  rm -f "$1.sign.log"
}
if [ -n "$signing" ]; then
  for f in "$stage"/QuotawardenService.exe "$stage"/QuotawardenCtrlPanel.cpl "$stage"/QuotawardenSetup.dll; do sign "$f"; done
fi

rm -f "$out.tmp"
# wixl takes source paths relative to its working folder only.
(cd "$stage" && wixl -a x64 -D Version="$QW_VERSION" -D StageDir=. -o "$(realpath -m "$out.tmp")" \
  "$here/Quotawarden.wxs") >"$stage/wixl.log" 2>&1 || { cat "$stage/wixl.log" >&2; exit 1; }
# The public properties pass from the client to the installation server of a
# managed installation only when listed as secure; wixl writes the list
# itself (without an element for it), so it is extended here.
secure="WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;SMTP;PORT;MAILFROM;MAILTO;MAILCC;INTERVAL;THRESHOLD;TEXTFILEDIR;SECURITY;AUTH;USER;TENANT;CLIENTID;CLIENTCERT;TOKENURL;SCOPE;REMOVESETTINGS"
msibuild "$out.tmp" -q "UPDATE \`Property\` SET \`Value\` = '$secure' WHERE \`Property\` = 'SecureCustomProperties'" \
  >>"$stage/wixl.log" 2>&1 || { cat "$stage/wixl.log" >&2; exit 1; }
# (Tables are read whole before grep: grep -q ending a pipe early would fail it.)
properties="$(msiinfo export "$out.tmp" Property)"
grep -q "REMOVESETTINGS" <<<"$properties" ||
  { echo "make_msi: SecureCustomProperties was not extended" >&2; exit 1; }
# wixl writes Execute="rollback" as an immediate action (no in-script and
# rollback bits): give RollbackSettings its type, a DLL action run in the
# rollback script as the system (1 + 0x100 + 0x400 + 0x800).
msibuild "$out.tmp" -q "UPDATE \`CustomAction\` SET \`Type\` = 3329 WHERE \`Action\` = 'RollbackSettings'" \
  >>"$stage/wixl.log" 2>&1 || { cat "$stage/wixl.log" >&2; exit 1; }
actions="$(msiinfo export "$out.tmp" CustomAction)"
grep -q $'^RollbackSettings\t3329\t' <<<"$actions" ||
  { echo "make_msi: RollbackSettings is not a rollback action" >&2; exit 1; }
# A rebuilt package of the same version (another ProductCode) replaces the
# installed one rather than installing beside it: the upgrade search takes
# its version bound as inclusive (1 + 0x200; wixl has no attribute for it).
# Attributes is part of the Upgrade table's key, so the row is written anew.
upgrade="$(msiinfo export "$out.tmp" Upgrade)"
code="$(awk -F'\t' '$NF ~ /^WIX_UPGRADE_DETECTED/ {print $1}' <<<"$upgrade")"
[ -n "$code" ] || { echo "make_msi: no upgrade row in the package" >&2; exit 1; }
msibuild "$out.tmp" -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
  >>"$stage/wixl.log" 2>&1 || { cat "$stage/wixl.log" >&2; exit 1; }
msibuild "$out.tmp" -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$code', '$QW_VERSION', 513, 'WIX_UPGRADE_DETECTED')" \
  >>"$stage/wixl.log" 2>&1 || { cat "$stage/wixl.log" >&2; exit 1; }
upgrade="$(msiinfo export "$out.tmp" Upgrade)"
grep -q $'\t'"$QW_VERSION"$'\t\t513\t\tWIX_UPGRADE_DETECTED' <<<"$upgrade" ||
  { echo "make_msi: the upgrade of the same version is not inclusive" >&2; exit 1; }
[ -n "$signing" ] && sign "$out.tmp"
mv "$out.tmp" "$out"
echo "make_msi: $out${signing:+ (signed)}" >&2
