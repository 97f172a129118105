"""Checks a compact JWS the way a token endpoint does: python3-jwt verifies
the RS256 signature with the certificate's (or key's) public key and the
audience; the header must carry exactly the expected fields, with x5t and
x5t#S256 computed here from the certificate's DER; and the signature must be
byte for byte the one `openssl dgst -sha256 -sign` gives for the same input
(RSASSA-PKCS1-v1_5 is deterministic).

usage: jws_check.py JWS_FILE KEY_PEM CERT_PEM|- EXPECTED_EXTRA_HEADER_JSON
"""
import base64
import hashlib
import json
import subprocess
import sys

import jwt
from cryptography import x509
from cryptography.hazmat.primitives import serialization


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def unb64url(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def main():
    jws_file, key_file, cert_file, extra = sys.argv[1:5]
    token = open(jws_file).read().strip()
    key = serialization.load_pem_private_key(open(key_file, "rb").read(), password=None)
    header_b64, claims_b64, sig_b64 = token.split(".")
    for part in (header_b64, claims_b64, sig_b64):
        assert "=" not in part and "+" not in part and "/" not in part, "not base64url without padding: " + part
        assert b64url(unb64url(part)) == part, "not the one encoding of its bytes: " + part

    header = json.loads(unb64url(header_b64))
    expected = {"alg": "RS256", "typ": "JWT"}
    if cert_file != "-":
        cert = x509.load_pem_x509_certificate(open(cert_file, "rb").read())
        der = cert.public_bytes(serialization.Encoding.DER)
        expected["x5t"] = b64url(hashlib.sha1(der).digest())
        expected["x5t#S256"] = b64url(hashlib.sha256(der).digest())
        assert cert.public_key().public_numbers() == key.public_key().public_numbers()
    expected.update(json.loads(extra))
    assert header == expected, "header %r, expected %r" % (header, expected)
    assert list(header)[:2] == ["alg", "typ"], list(header)

    claims = jwt.decode(token, key.public_key(), algorithms=["RS256"],
                        audience=json.loads(unb64url(claims_b64))["aud"])
    openssl = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key_file],
                             input=(header_b64 + "." + claims_b64).encode(),
                             capture_output=True, check=True).stdout
    assert unb64url(sig_b64) == openssl, "the signature differs from openssl's"
    print("verified", sorted(claims))


main()
