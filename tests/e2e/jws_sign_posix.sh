#!/usr/bin/env bash
# The client assertion's signature on POSIX (OpenSSL), through jws_sign:
# keys and certificates made here with openssl, each JWS verified by
# python3-jwt and compared byte for byte with openssl's own signature; the
# certificate file and the key text that are refused, and what is said.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init jws_sign_posix
tool="$native_bin/jws_sign"
qw_need "$tool"
cd "$work"
# From here on a failed check is counted and the run goes on: every case is
# reported; the script fails at the end.
failures=0
check_failed() {
  echo "jws_sign_posix: FAIL $*" >&2
  failures=$((failures + 1))
}

# OpenSSL 3 writes PKCS#8 ("BEGIN PRIVATE KEY"), as a service account's key is.
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=Quotawarden client $$" >openssl.log 2>&1
openssl rsa -in key.pem -traditional -out key-pkcs1.pem >>openssl.log 2>&1
cat cert.pem key.pem >client.pem
cat key.pem cert.pem >client-key-first.pem
printf '{"aud":"https://login.example.test/tenant/oauth2/v2.0/token","iss":"app-id","sub":"app-id","jti":"%s","exp":%d,"nbf":%d,"name":"\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88"}' \
  "$$" $(($(date +%s) + 600)) "$(date +%s)" >claims.json

sign() {  # sign NAME ARGS...: the JWS in NAME.jws, stderr in NAME.err, the exit code in $rc
  local name="$1"; shift
  rc=0
  "$tool" "$@" --claims claims.json >"$name.jws" 2>"$name.err" || rc=$?
}
check() {  # check NAME KEY CERT|- EXTRA_HEADER
  qw_py jws_check "$1.jws" "$2" "$3" "$4" >"$1.check" 2>&1 || check_failed "$1: $(tail -1 "$1.check")"
}

# Certificate file, in either order, with header fields of the caller.
sign cert --cert client.pem --header kid=key-1
[ "$rc" -eq 0 ] && check cert key.pem cert.pem '{"kid":"key-1"}' || check_failed "cert: exit $rc: $(cat cert.err)"
sign cert-key-first --cert client-key-first.pem --header kid=key-1
[ "$rc" -eq 0 ] && cmp -s cert.jws cert-key-first.jws || check_failed "key before certificate: exit $rc, $(cat cert-key-first.err)"
# A field the signer writes is replaced in place.
sign typ --cert client.pem --header typ=JWT2 --header 'x5t=given "quoted"'
[ "$rc" -eq 0 ] && check typ key.pem cert.pem '{"typ":"JWT2","x5t":"given \"quoted\""}' || check_failed "typ: exit $rc"

# PEM text, PKCS#8 and PKCS#1: the same key gives the same bytes.
sign pkcs8 --key key.pem --header kid=0123abcd
[ "$rc" -eq 0 ] && check pkcs8 key.pem - '{"kid":"0123abcd"}' || check_failed "pkcs8: exit $rc: $(cat pkcs8.err)"
sign pkcs1 --key key-pkcs1.pem --header kid=0123abcd
[ "$rc" -eq 0 ] && cmp -s pkcs8.jws pkcs1.jws || check_failed "PKCS#1 and PKCS#8 of one key differ"
# A service account's key as the JSON file carries it (CR LF after a copy).
sed 's/$/\r/' key.pem >key-crlf.pem
sign crlf --key key-crlf.pem --header kid=0123abcd
[ "$rc" -eq 0 ] && cmp -s pkcs8.jws crlf.jws || check_failed "CR LF key: exit $rc: $(cat crlf.err)"

# Refusals: exit 1, the settings key, the file and the reason.
openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 -subj "/CN=other" >>openssl.log 2>&1
cat cert.pem other.key >mismatch.pem
openssl pkcs8 -topk8 -in key.pem -out encrypted.pem -passout pass:secret >>openssl.log 2>&1
cat cert.pem encrypted.pem >encrypted-client.pem
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ec.key -out ec.pem -days 2 -subj "/CN=ec" >>openssl.log 2>&1
cat ec.pem ec.key >ec-client.pem
openssl req -x509 -newkey rsa:1024 -nodes -keyout short.key -out short.pem -days 2 -subj "/CN=short" >>openssl.log 2>&1
cat short.pem short.key >short-client.pem
head -c 200 client.pem >cut.pem
refused() {  # refused NAME EXPECTED_TEXT ARGS...
  local name="$1" text="$2"; shift 2
  sign "$name" "$@"
  if [ "$rc" -ne 1 ]; then
    check_failed "$name: exit $rc, expected 1"
  elif [ -s "$name.jws" ]; then
    check_failed "$name: printed a JWS"
  elif ! grep -qF -- "$text" "$name.err"; then
    check_failed "$name: '$(cat "$name.err")' does not say '$text'"
  fi
}
refused mismatch "CLIENTCERT: X509_check_private_key: mismatch.pem: 秘密鍵が証明書のものではありません" --cert mismatch.pem
refused encrypted "encrypted-client.pem: 秘密鍵が暗号化されています" --cert encrypted-client.pem
refused encrypted-key "SERVICEACCOUNT: PEM: encrypted.pem: 秘密鍵が暗号化されています" --key encrypted.pem
refused ec "ec-client.pem: 秘密鍵が RSA ではありません (EC)" --cert ec-client.pem
refused ec-key "ec.key: 秘密鍵が RSA ではありません (EC)" --key ec.key
refused short "short-client.pem: RSA の鍵が短すぎます (1024 ビット" --cert short-client.pem
refused no-key "cert.pem: 証明書の秘密鍵 (BEGIN PRIVATE KEY) がありません" --cert cert.pem
refused cut "cut.pem: PEM の CERTIFICATE に END 行がありません" --cert cut.pem
refused missing "CLIENTCERT: fopen: $work/absent.pem: No such file or directory" --cert "$work/absent.pem"

[ "$failures" -eq 0 ] || fail "$failures failure(s); QW_KEEP_WORK=1 keeps the files"
echo "jws_sign_posix: ok"
