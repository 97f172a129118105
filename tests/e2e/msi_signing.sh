#!/usr/bin/env bash
# Signing of the programs and the MSI package: make_msi.sh with a throw-away
# code-signing certificate made here by openssl signs QuotawardenService.exe,
# QuotawardenCtrlPanel.cpl, the custom action DLL and the package, and
# `osslsigncode verify` accepts each against that certificate; a package made
# without the variables carries no signature; a signed program with one byte
# changed no longer verifies; naming a key without a certificate fails the
# build.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init msi_signing build/e2e-msi-signing
bin="$win64_bin"
qw_need "$bin/QuotawardenService.exe" "$bin/QuotawardenCtrlPanel.cpl" "$bin/QuotawardenSetup.dll"
version="$(tr -d ' \r\n' <VERSION)"
make_msi() {  # make_msi OUT [VAR=VALUE...]
  local out="$1"; shift
  env QW_VERSION="$version" "$@" timeout 120 bash packaging/windows/make_msi.sh \
    "$bin/QuotawardenService.exe" "$bin/QuotawardenCtrlPanel.cpl" "$bin/QuotawardenSetup.dll" "$out"
}

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quotawarden test signing" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
  -keyout "$work/key.pem" -out "$work/cert.pem" >"$work/openssl.txt" 2>&1 || fail "openssl could not make a certificate"

make_msi "$work/signed/Quotawarden.msi" QW_SIGN_CERT="$work/cert.pem" QW_SIGN_KEY="$work/key.pem" \
  >"$work/make-signed.txt" 2>&1 || fail "the signed build failed"
stage="$work/signed/msi-stage"
for f in "$stage/QuotawardenService.exe" "$stage/QuotawardenCtrlPanel.cpl" "$stage/QuotawardenSetup.dll" \
  "$work/signed/Quotawarden.msi"; do
  osslsigncode verify -CAfile "$work/cert.pem" -in "$f" >"$work/verify.txt" 2>&1 || fail "$(basename "$f") does not verify"
  grep -q "Quotawarden test signing" "$work/verify.txt" || fail "$(basename "$f"): not our signer"
done
# The package holds the signed programs: the service taken out of it verifies.
msiextract -C "$work/extracted" "$work/signed/Quotawarden.msi" >"$work/extract.txt" 2>&1 || fail "msiextract"
service="$(find "$work/extracted" -name QuotawardenService.exe | head -1)"
[ -n "$service" ] || fail "no QuotawardenService.exe in the package"
osslsigncode verify -CAfile "$work/cert.pem" -in "$service" >"$work/verify-extracted.txt" 2>&1 \
  || fail "the packaged program is not the signed one"

# One byte changed in the signed program's code: the signature no longer holds.
cp "$stage/QuotawardenService.exe" "$work/tampered.exe"
printf '\xCC' | dd of="$work/tampered.exe" bs=1 seek=4096 conv=notrunc status=none
if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/tampered.exe" >"$work/verify-tampered.txt" 2>&1; then
  fail "a changed program still verifies"
fi

# Without the variables: no signature.
make_msi "$work/plain/Quotawarden.msi" >"$work/make-plain.txt" 2>&1 || fail "the unsigned build failed"
if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/plain/Quotawarden.msi" >"$work/verify-plain.txt" 2>&1; then
  fail "an unsigned package verifies"
fi

# Half the signing material is an error, not an unsigned package.
if make_msi "$work/half/Quotawarden.msi" QW_SIGN_KEY="$work/key.pem" >"$work/make-half.txt" 2>&1; then
  fail "a key without a certificate built"
fi
grep -q "QW_SIGN_CERT" "$work/make-half.txt" || fail "the half-signing failure does not name QW_SIGN_CERT"
[ ! -e "$work/half/Quotawarden.msi" ] || fail "a package was left by the failed build"
echo "msi_signing: ok"
