#!/usr/bin/python3
"""An SMTP server that takes OAuth 2.0 bearer tokens and nothing else.

usage: oauth_smtp_server.py CONFIG.json

CONFIG: {"portFile", "log", "cert", "key": the server's TLS certificate and
key, "caFile": the CA to trust for the authorization server, "jwksUri",
"issuer", "audience", "scopes": a token must hold one of them, "users":
the mailboxes that may log in, and optionally "revoked": a file whose lines
"CLIENT_ID UNIXTIME" revoke that client's tokens issued at or before the
time, as an administrator revoking an application's sessions does, and
"plain": {"USER": "PASSWORD"}, which also offers AUTH PLAIN for those
logins (for a benchmark beside the token login; off by default), and
"cacheJwks": true, which fetches the server's keys once, not per token}

Listens on 127.0.0.1 (a free port, written to portFile) with STARTTLS, and
offers AUTH XOAUTH2 and OAUTHBEARER only after it (no PLAIN, no LOGIN). A
token is accepted when its RS256 signature verifies against a key of the
authorization server's JWKS (fetched over HTTPS, trusting caFile alone) and
its issuer, audience, expiry and scope are right, for a mailbox of "users".
A refused token gets the mechanism's JSON challenge (status invalid_token,
schemes bearer, the scopes), then 535 once the client has answered it.

Each AUTH is one line in the log: "auth ok MECH USER" or
"auth refused MECH USER REASON"; each message "mail FROM TO...". Runs until
SIGTERM.
"""
import base64
import json
import os
import signal
import socket
import ssl
import sys
import threading
import urllib.request

import jwt
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, MISSING

config = json.load(open(sys.argv[1], encoding="utf-8"))
lock = threading.Lock()


def log(line):
    with lock, open(config["log"], "a", encoding="utf-8") as f:
        f.write(line + "\n")


_jwks_kept = []


def fetch_jwks():
    """The server's keys: fetched for every token, or once with "cacheJwks"
    (as production servers keep them; the benchmark's setting)."""
    if config.get("cacheJwks"):
        if not _jwks_kept:
            _jwks_kept.append(_fetch_jwks())
        return _jwks_kept[0]
    return _fetch_jwks()


def _fetch_jwks():
    context = ssl.create_default_context(cafile=config["caFile"])
    with urllib.request.urlopen(config["jwksUri"], context=context, timeout=10) as answer:
        return jwt.PyJWKSet.from_dict(json.load(answer))


def check_token(token):
    """None when the token is good, else why not."""
    try:
        kid = jwt.get_unverified_header(token).get("kid")
        keys = [k for k in fetch_jwks().keys if k.key_id == kid]
        if not keys:
            return "no key " + str(kid)
        claims = jwt.decode(token, keys[0].key, algorithms=["RS256"], audience=config["audience"],
                            issuer=config["issuer"], options={"require": ["exp", "iat", "aud", "iss"]})
    except jwt.ExpiredSignatureError:
        return "expired"
    except jwt.InvalidSignatureError:
        return "bad-signature"
    except jwt.InvalidAudienceError:
        return "bad-audience"
    except jwt.InvalidIssuerError:
        return "bad-issuer"
    except Exception as e:  # anything else about the token: refused, said why
        return "invalid:" + type(e).__name__
    if not set(config["scopes"]) & set(str(claims.get("scope", "")).split()):
        return "bad-scope"
    if config.get("revoked") and os.path.exists(config["revoked"]):
        client = str(claims.get("client_id") or claims.get("sub"))
        for line in open(config["revoked"], encoding="utf-8"):
            words = line.split()
            if len(words) == 2 and words[0] == client and int(claims["iat"]) <= int(words[1]):
                return "revoked"
    return None


def parse_xoauth2(raw):
    parts = raw.split(b"\x01")
    if len(parts) != 4 or parts[2:] != [b"", b""]:
        return None, None
    if not parts[0].startswith(b"user=") or not parts[1].startswith(b"auth=Bearer "):
        return None, None
    return parts[0][5:].decode("utf-8", "replace"), parts[1][12:].decode("ascii", "replace")


def parse_oauthbearer(raw):
    parts = raw.split(b"\x01")
    if len(parts) < 4 or parts[-2:] != [b"", b""]:
        return None, None
    gs2 = parts[0].split(b",")
    if len(gs2) != 3 or gs2[0] != b"n" or not gs2[1].startswith(b"a=") or gs2[2] != b"":
        return None, None
    user = gs2[1][2:].replace(b"=2C", b",").replace(b"=3D", b"=").decode("utf-8", "replace")
    token = None
    for pair in parts[1:-2]:
        if pair.startswith(b"auth=Bearer "):
            token = pair[12:].decode("ascii", "replace")
    return user, token


class Handler:
    async def _bearer(self, server, args, mechanism, parse):
        if len(args) > 1:
            try:
                raw = base64.b64decode(args[1], validate=True)
            except Exception:
                return AuthResult(success=False, handled=False, message="501 5.5.2 Can't decode base64")
        else:
            raw = await server.challenge_auth("")
            if raw is MISSING:
                return AuthResult(success=False, handled=True)
        user, token = parse(raw)
        if user is None or token is None:
            log("auth refused %s - malformed" % mechanism)
            return AuthResult(success=False, handled=False, message="501 5.5.2 Malformed " + mechanism)
        why = check_token(token)
        if why is None and user not in config["users"]:
            why = "unknown-user"
        if why is None:
            log("auth ok %s %s" % (mechanism, user))
            return AuthResult(success=True)
        log("auth refused %s %s %s" % (mechanism, user, why))
        challenge = json.dumps({"status": "invalid_token", "schemes": "bearer", "scope": " ".join(config["scopes"])})
        reply = await server.challenge_auth(challenge)
        if reply is MISSING:
            return AuthResult(success=False, handled=True)
        expected = b"" if mechanism == "XOAUTH2" else b"\x01"
        if reply != expected:
            log("auth bad-reply %s %r" % (mechanism, reply))
        return AuthResult(success=False, handled=False, message="535 5.7.8 Authentication credentials invalid")

    async def auth_XOAUTH2(self, server, args):
        return await self._bearer(server, args, "XOAUTH2", parse_xoauth2)

    async def auth_OAUTHBEARER(self, server, args):
        return await self._bearer(server, args, "OAUTHBEARER", parse_oauthbearer)

    async def handle_DATA(self, server, session, envelope):
        if not session.authenticated:
            return "530 5.7.0 Authentication required"
        log("mail " + envelope.mail_from + " " + " ".join(envelope.rcpt_tos))
        return "250 OK"


class BearerSMTP(SMTP):
    # A token makes a long AUTH line: RFC 4954 allows 12288 octets.
    line_length_limit = 16384

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.command_size_limits["AUTH"] = 12288


class BearerController(Controller):
    def factory(self):
        return BearerSMTP(self.handler, **self.SMTP_kwargs)


tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
tls.load_cert_chain(config["cert"], config["key"])
probe = socket.socket()
probe.bind(("127.0.0.1", 0))
port = probe.getsockname()[1]
probe.close()
plain = config.get("plain") or {}


def authenticate(server, session, envelope, mechanism, auth_data):
    """AUTH PLAIN for the logins of "plain" (only offered when there are any)."""
    user = auth_data.login.decode("utf-8", "replace")
    ok = mechanism == "PLAIN" and plain.get(user) == auth_data.password.decode("utf-8", "replace")
    log("auth %s PLAIN %s" % ("ok" if ok else "refused", user))
    return AuthResult(success=ok)


controller = BearerController(Handler(), hostname="127.0.0.1", port=port, tls_context=tls, require_starttls=True,
                        auth_require_tls=True, auth_required=True,
                        auth_exclude_mechanism=["LOGIN"] if plain else ["PLAIN", "LOGIN"],
                        authenticator=authenticate if plain else None)
controller.start()
with open(config["portFile"] + ".tmp", "w") as f:
    f.write(str(port))
os.rename(config["portFile"] + ".tmp", config["portFile"])
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *a: stop.set())
signal.signal(signal.SIGINT, lambda *a: stop.set())
stop.wait()
controller.stop()
