"""The service's entries in smtp_cert_check_wine.sh: one error per refused
server naming the chain's error, none for the trusted one, the password in
none. Usage: smtp_cert_check_wine.py EVENTS PASSWORD"""
import json, sys
events = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
password = sys.argv[2]
assert all(password not in e["text"] for e in events), "the password appears in an entry"
errors = [e["text"] for e in events if e["type"] == "error"]
expected = ["CERT_TRUST_IS_PARTIAL_CHAIN", "CERT_TRUST_IS_UNTRUSTED_ROOT", "CERT_TRUST_IS_UNTRUSTED_ROOT"]
assert len(errors) == len(expected), errors
for text, flag in zip(errors, expected):
    assert flag in text and "TLS" in text and "証明書" in text, (flag, text)
print("ok: the entries name", ", ".join(expected))
