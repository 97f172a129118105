#!/usr/bin/env bash
# The client assertion's signature on Windows (CryptoAPI, CNG, the machine's
# certificate store) under Wine, through jws_sign.exe: a certificate and key
# made here with openssl are put into LocalMachine\My (the tool's --import;
# Wine has no certutil, and its PFXImportCertStore records an unusable key
# specification), then signed with by thumbprint; a PEM key is signed with
# as text. Each JWS is verified by python3-jwt, must equal openssl's own
# signature byte for byte, and, when the native tool is built, the POSIX
# host's JWS for the same key and claims. Then the refusals: an unknown
# thumbprint, a certificate without a private key, an EC certificate, a
# malformed thumbprint, an encrypted or EC key text. The tool's --list shows
# the store as the applet's certificate picker lists it.
#
# Every wine command writes to files, never to a pipe (Wine's system
# processes inherit the handles of the command that starts them).
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init jws_sign_wine build/e2e-jws-wine
source tests/e2e/lib/wine.sh
tool_built="$win64_bin/jws_sign.exe"
qw_need "$tool_built"
native_tool="$native_bin/jws_sign"
# From here on a failed check is counted and the run goes on: every case is
# reported; the script fails at the end.
failures=0
check_failed() {
  echo "jws_sign_wine: FAIL $*" >&2
  failures=$((failures + 1))
}

cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=Quotawarden client $$" >openssl.log 2>&1
openssl rsa -in key.pem -traditional -out key-pkcs1.pem >>openssl.log 2>&1
cat cert.pem key.pem >client.pem
openssl req -x509 -newkey rsa:2048 -nodes -keyout bare.key -out bare.pem -days 2 -subj "/CN=no key $$" >>openssl.log 2>&1
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ec.key -out ec.pem -days 2 -subj "/CN=ec $$" >>openssl.log 2>&1
cat cert.pem bare.key >mismatch.pem
openssl req -x509 -newkey rsa:1024 -nodes -keyout short.key -out short.pem -days 2 -subj "/CN=short $$" >>openssl.log 2>&1
cat short.pem short.key >short-client.pem
openssl pkcs8 -topk8 -in key.pem -out encrypted.pem -passout pass:secret >>openssl.log 2>&1
printf '{"aud":"https://login.example.test/tenant/oauth2/v2.0/token","iss":"app-id","sub":"app-id","jti":"%s","exp":%d}' \
  "$$" $(($(date +%s) + 600)) >claims.json

qw_wine_setup copy
cp "$tool_built" "$WINEPREFIX/drive_c/jws_sign.exe"
cp client.pem mismatch.pem short-client.pem short.key bare.pem ec.pem key.pem key-pkcs1.pem encrypted.pem ec.key claims.json "$WINEPREFIX/drive_c/"
tool='C:\jws_sign.exe'

run() {  # run NAME ARGS...: stdout in NAME.out, stderr in NAME.err, the exit code in $rc
  local name="$1"; shift
  rc=0
  timeout 60 wine "$tool" "$@" >"$name.out" 2>"$name.err" </dev/null || rc=$?
  tr -d '\r' <"$name.out" >"$name.jws"
}
check() {  # check NAME KEY CERT|- EXTRA_HEADER
  qw_py jws_check "$1.jws" "$2" "$3" "$4" >"$1.check" 2>&1 || check_failed "$1: $(tail -1 "$1.check")"
}

# The certificate of client.pem with another key in its container: refused.
# The right pair is imported next and replaces it.
run import-mismatch --import 'C:\mismatch.pem'
run mismatch --cert "$(cat import-mismatch.jws)" --claims 'C:\claims.json'
if [ "$rc" -ne 1 ] || ! grep -qF "秘密鍵が証明書のものではありません" mismatch.err; then
  check_failed "mismatch: exit $rc: $(cat mismatch.err)"
fi
run import --import 'C:\client.pem'
thumbprint="$(cat import.jws)"
expected="$(openssl x509 -in cert.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')"
[ "$rc" -eq 0 ] && [ "$thumbprint" = "$expected" ] || check_failed "import: exit $rc, '$thumbprint' for $expected: $(cat import.err)"
run import-bare --import 'C:\bare.pem' --no-key
bare="$(cat import-bare.jws)"
run import-ec --import 'C:\ec.pem' --no-key
ec="$(cat import-ec.jws)"
run import-short --import 'C:\short-client.pem'
short="$(cat import-short.jws)"
[ -n "$bare" ] && [ -n "$ec" ] && [ -n "$short" ] || check_failed "import without key: $(cat import-bare.err import-ec.err import-short.err)"

# The picker's list of the store: each imported certificate once, with its
# names, its end of validity as openssl reads it, and whether a key is there.
run list --list
listed() {  # listed THUMBPRINT SUBJECT KEY|no-key PEMFILE
  local end line
  end="$(date -d "$(openssl x509 -in "$4" -noout -enddate | sed 's/^notAfter=//')" +%Y/%m/%d)"
  line="$(grep -c "^$1	" list.jws)"
  [ "$line" = 1 ] || { check_failed "list: $1 is listed $line times: $(cat list.jws list.err)"; return; }
  line="$(grep "^$1	" list.jws)"
  [ "$line" = "$1	$2	$2	$end	$3	valid" ] || check_failed "list: '$line' for $1 $2 $end $3"
}
if [ "$rc" -ne 0 ]; then
  check_failed "list: exit $rc: $(cat list.err)"
else
  listed "$thumbprint" "Quotawarden client $$" key cert.pem
  listed "$bare" "no key $$" no-key bare.pem
fi

# By thumbprint, written the way it is copied from the certificate's
# details (lower case, pairs apart).
spaced="$(echo "$thumbprint" | tr 'A-F' 'a-f' | sed 's/../& /g; s/ $//')"
run store --cert "$spaced" --claims 'C:\claims.json' --header kid=key-1
[ "$rc" -eq 0 ] && check store key.pem cert.pem '{"kid":"key-1"}' || check_failed "store: exit $rc: $(cat store.err)"
run store-plain --cert "$thumbprint" --claims 'C:\claims.json' --header kid=key-1
[ "$rc" -eq 0 ] && cmp -s store.jws store-plain.jws || check_failed "thumbprint forms differ: $(cat store-plain.err)"

# PEM key text, PKCS#8 and PKCS#1.
run pkcs8 --key 'C:\key.pem' --claims 'C:\claims.json'
[ "$rc" -eq 0 ] && check pkcs8 key.pem - '{}' || check_failed "pkcs8: exit $rc: $(cat pkcs8.err)"
run pkcs1 --key 'C:\key-pkcs1.pem' --claims 'C:\claims.json'
[ "$rc" -eq 0 ] && cmp -s pkcs8.jws pkcs1.jws || check_failed "PKCS#1 and PKCS#8 differ: $(cat pkcs1.err)"

# The same bytes as the POSIX host.
if [ -x "$native_tool" ]; then
  "$native_tool" --cert client.pem --claims claims.json --header kid=key-1 >native-cert.jws 2>native.err ||
    check_failed "native cert: $(cat native.err)"
  cmp -s store.jws native-cert.jws || check_failed "the store's JWS differs from the POSIX host's"
  "$native_tool" --key key.pem --claims claims.json >native-key.jws 2>native.err || check_failed "native key: $(cat native.err)"
  cmp -s pkcs8.jws native-key.jws || check_failed "the key text's JWS differs from the POSIX host's"
else
  echo "jws_sign_wine: $native_tool not built; compared with openssl only"
fi

refused() {  # refused NAME EXPECTED_TEXT ARGS...
  local name="$1" text="$2"; shift 2
  run "$name" "$@" --claims 'C:\claims.json'
  if [ "$rc" -ne 1 ]; then
    check_failed "$name: exit $rc, expected 1"
  elif [ -s "$name.jws" ]; then
    check_failed "$name: printed a JWS"
  elif ! grep -qF -- "$text" "$name.err"; then
    check_failed "$name: '$(cat "$name.err")' does not say '$text'"
  fi
}
absent="0000000000000000000000000000000000000000"
refused absent "CLIENTCERT: CertFindCertificateInStore: 証明書 $absent: ローカル コンピューターの個人ストア (My) にありません" --cert "$absent"
refused bare "CLIENTCERT: 証明書 $bare: 証明書に秘密鍵がありません" --cert "$bare"
refused ec "CLIENTCERT: 証明書 $ec: 鍵が RSA ではありません (EC)" --cert "$ec"
refused short "CLIENTCERT: 証明書 $short: RSA の鍵が短すぎます (1024 ビット" --cert "$short"
refused short-key "SERVICEACCOUNT: PEM: C:\\short.key: RSA の鍵が短すぎます (1024 ビット" --key 'C:\short.key'
refused malformed "CLIENTCERT: 証明書 C:\\client.pem: SHA-1 の拇印 (16 進 40 桁) ではありません" --cert 'C:\client.pem'
refused encrypted "SERVICEACCOUNT: PEM: C:\\encrypted.pem: 秘密鍵が暗号化されています" --key 'C:\encrypted.pem'
refused ec-key "C:\\ec.key: 秘密鍵が RSA ではありません (EC)" --key 'C:\ec.key'

[ "$failures" -eq 0 ] || fail "$failures failure(s); QW_KEEP_WORK=1 keeps the files"
echo "jws_sign_wine: ok"
