#!/usr/bin/python3
"""The token client's pieces against the real OAuth peers, with curl in place
of the HTTP client: the request bodies it builds (client secret, signed
client assertion, a service account's JWT bearer grant) earn tokens from
the authorization server; its reading of the answers (a token, a wrong
secret as final invalid_client, a scope refused, an unknown URL); its
XOAUTH2 and OAUTHBEARER initial responses log in at the SMTP peer; and a
refused token's challenge is decoded and answered as each mechanism wants.

  oauth_client_posix.py WORK
"""
import base64, json, os, smtplib, ssl, subprocess, sys

from e2e_lib import NATIVE_BIN, ROOT

sys.path.insert(0, os.path.join(ROOT, "tests", "peers"))

root = ROOT
work = sys.argv[1]
from oauth_peers import (OAuthPeers, MICROSOFT_SCOPE, GOOGLE_SCOPE, OTHER_SCOPE, SECRET, USER, SERVICE_ACCOUNT,
                         SERVICE_ACCOUNT_KEY_ID)

probe = os.path.join(NATIVE_BIN, "oauth_probe")
sign = os.path.join(root, "tests/peers/sign_jws.py")
failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)


def run(*args, stdin=None):
    result = subprocess.run([probe, *args], input=stdin, capture_output=True, text=True, timeout=60)
    if result.returncode != 0:
        raise SystemExit("oauth_probe %s: exit %d %s" % (args[0], result.returncode, result.stderr))
    return result.stdout.rstrip("\n")


def post(url, body):
    out = subprocess.run(["curl", "-sS", "--max-time", "20", "--cacert", os.path.join(work, "ca.pem"),
                          "-H", "Content-Type: application/x-www-form-urlencoded", "--data-binary", "@-",
                          "-o", "-", "-w", "\n%{http_code}", url],
                         input=body, capture_output=True, text=True, timeout=60, check=True).stdout
    text, _, status = out.rpartition("\n")
    return status, text


with OAuthPeers(root, work) as peers:
    client_key = os.path.join(work, "client.key")
    account_key = os.path.join(work, "service_account.key")
    # (name, probe request arguments, URL, expected answer line prefix)
    cases = [
        ("client secret", ["secret", peers.token_url, "post-client", SECRET, MICROSOFT_SCOPE], peers.token_url,
         "token 3600 "),
        ("client assertion", ["assertion", peers.token_url, "cert-client", MICROSOFT_SCOPE,
                              "%s %s" % (sign, client_key)], peers.token_url, "token 3600 "),
        ("service account", ["bearer", peers.google_token_url, SERVICE_ACCOUNT, USER, GOOGLE_SCOPE,
                             SERVICE_ACCOUNT_KEY_ID, "%s %s" % (sign, account_key)], peers.google_token_url,
         "token 3600 "),
        ("wrong secret", ["secret", peers.token_url, "post-client", "wrong", MICROSOFT_SCOPE], peers.token_url,
         "failure rejected TOKEN: invalid_client: client authentication failed (HTTP 401)"),
        ("assertion by another key", ["assertion", peers.token_url, "cert-client", MICROSOFT_SCOPE,
                                      "%s %s" % (sign, account_key)], peers.token_url,
         "failure rejected TOKEN: invalid_client: "),
        ("scope refused", ["secret", peers.token_url, "other-scope-client", SECRET, MICROSOFT_SCOPE],
         peers.token_url, "failure other TOKEN: invalid_scope: "),
        ("service account, wrong key id's key", ["bearer", peers.google_token_url, SERVICE_ACCOUNT, USER,
                                                 GOOGLE_SCOPE, SERVICE_ACCOUNT_KEY_ID,
                                                 "%s %s" % (sign, client_key)], peers.google_token_url,
         "failure other TOKEN: invalid_grant: Invalid JWT Signature. (HTTP 400)"),
        ("unknown URL", ["secret", peers.issuer + "/nope/token", "post-client", SECRET, MICROSOFT_SCOPE],
         peers.issuer + "/nope/token", "failure other TOKEN: "),
    ]
    tokens = {}
    for name, request, url, expected in cases:
        body = run("request", *request)
        status, answer = post(url, body)
        line = run("answer", status, stdin=answer)
        expect(line.startswith(expected), "%s: %r, expected %r (HTTP %s %s)" % (name, line, expected, status, answer))
        if line.startswith("token "):
            tokens[name] = line.split(" ", 2)[2]
    expect(run("answer", "404", stdin="").endswith("(HTTP 404)"), "an empty 404 does not say its status")
    # Every case but the unknown URL reached a token endpoint.
    expect(len(peers.token_requests()) == len(cases) - 1, "token requests: %s" % peers.token_requests())

    context = ssl.create_default_context(cafile=os.path.join(work, "ca.pem"))

    def login(mechanism, token, reply=None):
        """(code of AUTH, challenge line or None, final code) on a fresh connection."""
        with smtplib.SMTP("127.0.0.1", peers.smtp_port, timeout=20) as smtp:
            smtp.ehlo()
            smtp.starttls(context=context)
            smtp.ehlo()
            if mechanism == "XOAUTH2":
                response = run("xoauth2", USER, token)
            else:
                response = run("oauthbearer", USER, token, "127.0.0.1", str(peers.smtp_port))
            code, text = smtp.docmd("AUTH", mechanism + " " + response)
            if code != 334:
                if code == 235:
                    smtp.sendmail(USER, ["ops@example.jp"], "Subject: probe\r\n\r\nbody\r\n")
                return code, None, None
            challenge = run("challenge", text.decode())
            final, _ = smtp.docmd(reply)
            return code, challenge, final

    for name in ("client secret", "client assertion", "service account"):
        for mechanism in ("XOAUTH2", "OAUTHBEARER"):
            before = len(peers.smtp_log())
            code, _, _ = login(mechanism, tokens.get(name, "missing"))
            log = peers.smtp_log()[before:]
            expect(code == 235, "%s by %s: AUTH answered %d" % (name, mechanism, code))
            expect(log == ["auth ok %s %s" % (mechanism, USER), "mail %s ops@example.jp" % USER],
                   "%s by %s: server log %s" % (name, mechanism, log))

    good = tokens.get("client secret", "a.b.c")
    forged = good[:-4] + ("AAAA" if not good.endswith("AAAA") else "BBBB")
    for mechanism in ("XOAUTH2", "OAUTHBEARER"):
        before = len(peers.smtp_log())
        code, challenge, final = login(mechanism, forged, run("reply", mechanism.lower()))
        log = peers.smtp_log()[before:]
        expect(code == 334 and final == 535, "%s forged: %s then %s" % (mechanism, code, final))
        expect(challenge == "status=invalid_token schemes=bearer scope=%s %s" % (MICROSOFT_SCOPE, GOOGLE_SCOPE),
               "%s forged: challenge %r" % (mechanism, challenge))
        # The peer logs "auth bad-reply" when the answer to its challenge is
        # not the mechanism's.
        expect(log == ["auth refused %s %s bad-signature" % (mechanism, USER)], "%s forged: log %s" % (mechanism, log))
    expect(run("challenge", "not base64").startswith("failure AUTH: "), "a bad challenge is not refused")

for f in failures:
    print("FAIL: " + f)
if failures:
    sys.exit(1)
print("oauth_client_posix: ok")
