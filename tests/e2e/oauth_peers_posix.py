#!/usr/bin/python3
"""The OAuth 2.0 peers themselves, before any product code talks to them:
the authorization server (oidc-provider over HTTPS with a test CA) issues
JWT access tokens to clients proving themselves with a secret in the form
body, by HTTP Basic and by a signed assertion (private_key_jwt), refuses a
wrong secret as invalid_client, and serves a service account's JWT bearer
grant (Google's form) at the key file's token_uri; the SMTP peer takes those tokens over
STARTTLS by XOAUTH2 and OAUTHBEARER from python's smtplib and refuses a
forged one, one signed by another key, an expired one, one of the wrong
scope and one for another mailbox, each with the mechanism's JSON
challenge; it offers no password login, and nothing before STARTTLS.

  oauth_peers_posix.py WORK
"""
import base64, json, os, smtplib, sys, time

from e2e_lib import NATIVE_BIN, ROOT

sys.path.insert(0, os.path.join(ROOT, "tests", "peers"))

root = ROOT
work = sys.argv[1]
from oauth_peers import OAuthPeers, MICROSOFT_SCOPE, GOOGLE_SCOPE, OTHER_SCOPE, SECRET, USER

failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)


def forge(token):
    """The token with its payload changed and the signature kept."""
    header, payload, signature = token.split(".")
    claims = json.loads(base64.urlsafe_b64decode(payload + "=" * (-len(payload) % 4)))
    claims["exp"] += 86400
    forged = base64.urlsafe_b64encode(json.dumps(claims).encode()).decode().rstrip("=")
    return ".".join([header, forged, signature])


with OAuthPeers(root, work) as peers:
    scope = {"scope": MICROSOFT_SCOPE}
    grant = {"grant_type": "client_credentials"}

    # Token requests: (name, form fields, basic auth, HTTP status, error).
    # Basic wants the secret form-encoded first; sent raw, its '+' and '&'
    # read differently and the server refuses it (why the product sends the
    # secret in the body).
    status, answer = peers.post_token(dict(grant, **scope), ("basic-client", SECRET), encode_basic=False)
    expect(status == 401 and answer.get("error") == "invalid_client", "raw Basic secret: %s %s" % (status, answer))
    requests = [
        ("secret in the body", dict(grant, client_id="post-client", client_secret=SECRET, **scope), None, 200, None),
        ("secret by Basic", dict(grant, **scope), ("basic-client", SECRET), 200, None),
        ("signed assertion", dict(grant, client_id="cert-client",
                                  client_assertion_type="urn:ietf:params:oauth:client-assertion-type:jwt-bearer",
                                  client_assertion=peers.client_assertion("cert-client"), **scope), None, 200, None),
        ("wrong secret", dict(grant, client_id="post-client", client_secret="wrong", **scope), None, 401,
         "invalid_client"),
        ("assertion by another key", dict(grant, client_id="cert-client",
                                          client_assertion_type="urn:ietf:params:oauth:client-assertion-type:jwt-bearer",
                                          client_assertion=peers.client_assertion("cert-client",
                                                                                  key_path=os.path.join(work, "server.key")),
                                          **scope), None, 401, "invalid_client"),
        ("unknown client", dict(grant, client_id="nobody", client_secret=SECRET, **scope), None, 401,
         "invalid_client"),
        ("scope not granted", dict(grant, client_id="other-scope-client", client_secret=SECRET, **scope), None, 400,
         "invalid_scope"),
    ]
    tokens = {}
    for name, fields, basic, status, error in requests:
        got_status, answer = peers.post_token(fields, basic)
        expect(got_status == status, "%s: HTTP %s, expected %s (%s)" % (name, got_status, status, answer))
        if error:
            expect(answer.get("error") == error, "%s: error %r, expected %r" % (name, answer.get("error"), error))
        else:
            expect(answer.get("token_type") == "Bearer" and answer.get("expires_in", 0) > 0,
                   "%s: answer %s" % (name, answer))
            tokens[name] = answer.get("access_token", "")
    # The JWT bearer grant of a service account (its own URL, the key file's
    # token_uri).
    bearer = "urn:ietf:params:oauth:grant-type:jwt-bearer"
    key_file = json.load(open(os.path.join(work, "service_account.json")))
    expect(key_file["token_uri"] == peers.google_token_url, "key file token_uri %s" % key_file["token_uri"])
    google_requests = [
        ("service account", dict(grant_type=bearer, assertion=peers.service_account_assertion(USER)), 200, None),
        ("service account, another key", dict(grant_type=bearer, assertion=peers.service_account_assertion(
            USER, key_path=os.path.join(work, "client.key"))), 400, "invalid_grant"),
        ("service account, two hours", dict(grant_type=bearer, assertion=peers.service_account_assertion(
            USER, lifetime=7200)), 400, "invalid_grant"),
        ("service account, unknown scope", dict(grant_type=bearer, assertion=peers.service_account_assertion(
            USER, scope="https://example.com/none")), 400, "invalid_scope"),
        ("service account, client credentials", dict(grant, client_id="x"), 400, "unsupported_grant_type"),
    ]
    for name, fields, status, error in google_requests:
        got_status, answer = peers.post_token(fields, url=peers.google_token_url)
        expect(got_status == status, "%s: HTTP %s, expected %s (%s)" % (name, got_status, status, answer))
        if error:
            expect(answer.get("error") == error, "%s: error %r, expected %r" % (name, answer.get("error"), error))
        else:
            expect(answer.get("token_type") == "Bearer" and answer.get("expires_in", 0) > 0,
                   "%s: answer %s" % (name, answer))
            tokens[name] = answer.get("access_token", "")
    made = len(requests) + len(google_requests) + 1
    expect(len(peers.token_requests()) == made,
           "the server counted %d token requests for %d" % (len(peers.token_requests()), made))

    status, short = peers.post_token(dict(grant, client_id="short-client", client_secret=SECRET, **scope))
    status_o, other_scope = peers.post_token(dict(grant, client_id="other-scope-client", client_secret=SECRET,
                                                  scope=OTHER_SCOPE))
    expect(status == 200 and status_o == 200, "short-lived or other-scope token not issued")
    other_key = peers.client_assertion("x", key_path=os.path.join(work, "client.key"))  # a JWT by another key
    time.sleep(2.1)  # the short-lived token has expired

    good = tokens.get("secret in the body", "")
    # Sends: (name, mechanism, user, token, the checker's verdict or None for delivered).
    sends = [
        ("XOAUTH2 with a secret's token", "XOAUTH2", USER, good, None),
        ("OAUTHBEARER with a Basic client's token", "OAUTHBEARER", USER, tokens.get("secret by Basic", ""), None),
        ("XOAUTH2 with an assertion client's token", "XOAUTH2", USER, tokens.get("signed assertion", ""), None),
        ("forged payload", "XOAUTH2", USER, forge(good), "bad-signature"),
        ("signed by another key", "OAUTHBEARER", USER,
         ".".join([good.split(".")[0]] + other_key.split(".")[1:]), "bad-signature"),
        ("expired", "XOAUTH2", USER, short.get("access_token", ""), "expired"),
        ("XOAUTH2 with a service account's token", "XOAUTH2", USER, tokens.get("service account", ""), None),
        ("wrong scope", "OAUTHBEARER", USER, other_scope.get("access_token", ""), "bad-scope"),
        ("another mailbox", "XOAUTH2", "other@example.jp", good, "unknown-user"),
        ("not a JWT", "OAUTHBEARER", USER, "abc", "invalid:DecodeError"),
    ]
    for name, mechanism, user, token, verdict in sends:
        before = len(peers.smtp_log())
        lines = peers.send(mechanism, user, token)
        log = peers.smtp_log()[before:]
        if verdict is None:
            expect(lines == ["sent"], "%s: %s" % (name, lines))
            expect(log == ["auth ok %s %s" % (mechanism, user), "mail %s ops@example.jp" % user],
                   "%s: server log %s" % (name, log))
        else:
            expect(lines[:1] == ["refused 535 5.7.8 Authentication credentials invalid"], "%s: %s" % (name, lines))
            challenge = [json.loads(l[len("challenge "):]) for l in lines if l.startswith("challenge ")]
            expect(challenge == [{"status": "invalid_token", "schemes": "bearer",
                                  "scope": MICROSOFT_SCOPE + " " + GOOGLE_SCOPE}],
                   "%s: challenge %s" % (name, challenge))
            expect(log == ["auth refused %s %s %s" % (mechanism, user, verdict)], "%s: server log %s" % (name, log))

    # No password login, and no AUTH at all before STARTTLS.
    with smtplib.SMTP("127.0.0.1", peers.smtp_port, timeout=20) as smtp:
        smtp.ehlo()
        expect(not smtp.has_extn("auth"), "AUTH offered before STARTTLS")
        code, _ = smtp.docmd("AUTH", "XOAUTH2 " + base64.b64encode(b"user=a\x01auth=Bearer x\x01\x01").decode())
        expect(code == 530, "AUTH before STARTTLS answered %d" % code)
        smtp.starttls(context=__import__("ssl").create_default_context(cafile=os.path.join(work, "ca.pem")))
        smtp.ehlo()
        offered = set(smtp.esmtp_features.get("auth", "").upper().split())
        expect(offered == {"XOAUTH2", "OAUTHBEARER"}, "AUTH offers %s" % offered)
        code, _ = smtp.docmd("AUTH", "PLAIN " + base64.b64encode(b"\0a\0b").decode())
        expect(code == 504, "AUTH PLAIN answered %d" % code)

for f in failures:
    print("FAIL: " + f)
if failures:
    sys.exit(1)
print("oauth_peers_posix: ok")
