#!/usr/bin/python3
"""The installed service's OAuth 2.0 login under Wine against the real peers
(see oauth_service_wine.sh).

  oauth_service_wine.py WORK PREFIX
"""
import os
import shutil
import subprocess
import sys
import time

from e2e_lib import ROOT, entries, write_file
from wine_service import WineService, wait_until

sys.path.insert(0, os.path.join(ROOT, "tests", "peers"))
from oauth_peers import OAuthPeers, MICROSOFT_SCOPE, SECRET, USER  # noqa: E402

work, prefix = sys.argv[1], sys.argv[2]
svc = WineService(work)
events = os.path.join(work, "events.json")
ini = os.path.join(prefix, "drive_c", "windows", "Drivewarden.ini")
tools = os.path.join(prefix, "drive_c", "Quotawarden")
exe = r"C:\Quotawarden\QuotawardenService.exe"
failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)
        print("oauth_service_wine: FAIL " + message, flush=True)
    return condition


def wine_stdin(name, data, *args, timeout=60):
    """A wine command fed `data` on standard input; (rc, output)."""
    path = os.path.join(work, name + ".txt")
    source = os.path.join(work, name + ".in")
    write_file(source, data)
    with open(source, "rb") as given, open(path, "wb") as out:
        try:
            rc = subprocess.run(["wine", *args], stdin=given, stdout=out, stderr=out, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            rc = -1
    with open(path, encoding="utf-8", errors="replace") as f:
        return rc, f.read()


def settings(peers, login):
    """Mail on with a threshold every check falls under, and `login`."""
    text = ("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=99%%\r\n"
            "[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%d\r\nSECURITY=STARTTLS\r\nTLSVERIFY=1\r\n"
            "MAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\nUSER=%s\r\nAUTH=OAUTH2\r\n"
            "TOKENURL=%s\r\nSCOPE=%s\r\n" % (peers.smtp_port, USER, peers.token_url, MICROSOFT_SCOPE))
    for key, value in login:
        text += "%s=%s\r\n" % (key, value)
    return text


def run_check(name, peers, text, secret=None):
    """The service started on `text` (and the secret stored, when given)
    until its first check's mail is delivered or an error entry comes; the
    entries, the SMTP peer's new lines and the token requests it made."""
    svc.ensure_stopped()
    if os.path.exists(events):
        os.remove(events)
    write_file(ini, text)
    if secret is not None:
        rc, out = wine_stdin(name + "-setsecret", secret + "\r\n", exe, "/SETSECRET", "CLIENTSECRET")
        # Wine keeps no DACL: stored, and the rights said not to hold (3).
        expect(rc in (0, 3), "%s: /SETSECRET CLIENTSECRET exit %d: %s" % (name, rc, out.strip()))
        stored = open(ini, encoding="latin-1").read()
        expect("CLIENTSECRET=dpapi:" in stored, "%s: the secret is not stored protected" % name)
        expect(secret not in stored, "%s: the secret is in the file in clear" % name)
    smtp_before = len(peers.smtp_log())
    tokens_before = len(peers.token_requests())
    started = time.monotonic()
    svc.start(None)

    def settled():
        if any(e.get("type") == "error" for e in entries(events)):
            return True
        return any(line.startswith("mail ") for line in peers.smtp_log()[smtp_before:])
    done = wait_until(settled, 90)
    time.sleep(1.5)  # an entry written right after
    ev = entries(events)
    svc.stop()
    expect(svc.wait_state("STOPPED", 30), "%s: not STOPPED after sc stop" % name)
    print("oauth_service_wine: %s: %s after %.1f s" % (name, "settled" if done else "nothing", time.monotonic() - started),
          flush=True)
    return ev, peers.smtp_log()[smtp_before:], peers.token_requests()[tokens_before:]


def delivered(name, ev, smtp, tokens, client):
    expect(any(line.startswith("auth ok XOAUTH2 " + USER) for line in smtp),
           "%s: no XOAUTH2 login accepted: %s" % (name, smtp))
    expect(any(line.startswith("mail warden@example.jp") for line in smtp), "%s: no mail delivered: %s" % (name, smtp))
    expect(len(tokens) == 1, "%s: %d token requests, expected 1: %s" % (name, len(tokens), tokens))
    expect(all(client in " ".join(t) for t in tokens), "%s: not asked as %s: %s" % (name, client, tokens))
    errors = [e for e in ev if e.get("type") == "error"]
    expect(not errors, "%s: error entries: %s" % (name, errors))


with OAuthPeers(ROOT, os.path.join(work, "peers")) as peers:
    # The test CA among the machine's trusted roots (WinHTTP checks the
    # token endpoint against them; the SMTP peer's certificate too).
    shutil.copy(os.path.join(peers.work, "ca.pem"), os.path.join(tools, "ca.pem"))
    rc, out = svc.wine(r"C:\Quotawarden\http_probe.exe", "--trust", r"C:\Quotawarden\ca.pem", name="trust")
    expect(rc == 0, "the test CA was not added to the machine's roots: exit %d %s" % (rc, out.strip()))

    # A client secret, stored from standard input.
    ev, smtp, tokens = run_check("secret", peers, settings(peers, [("CLIENTID", "post-client")]), secret=SECRET)
    delivered("secret", ev, smtp, tokens, "post-client")
    expect(not any(SECRET in str(e) for e in ev), "secret: the secret is in an entry")

    # A certificate of LocalMachine\My by its thumbprint (the secret gone).
    shutil.copy(os.path.join(peers.work, "client.pem"), os.path.join(tools, "client.pem"))
    rc, out = svc.wine(r"C:\Quotawarden\jws_sign.exe", "--import", r"C:\Quotawarden\client.pem", name="import")
    thumbprint = out.strip().splitlines()[-1] if out.strip() else ""
    if expect(rc == 0 and len(thumbprint) == 40, "the certificate was not imported: exit %d %s" % (rc, out.strip())):
        ev, smtp, tokens = run_check("certificate", peers,
                                     settings(peers, [("CLIENTID", "cert-client"), ("CLIENTCERT", thumbprint)]))
        delivered("certificate", ev, smtp, tokens, "cert-client")

    # A wrong secret: final, at the token step.
    ev, smtp, tokens = run_check("wrong-secret", peers, settings(peers, [("CLIENTID", "post-client")]),
                                 secret="not-" + SECRET)
    errors = [e for e in ev if e.get("type") == "error"]
    text = " ".join(str(e.get("text", e)) for e in errors)
    expect(len(errors) == 1, "wrong-secret: %d error entries, expected 1: %s" % (len(errors), errors))
    expect("TOKEN" in text and "invalid_client" in text, "wrong-secret: the entry names no TOKEN invalid_client: " + text)
    expect("再送しません" in text, "wrong-secret: the entry does not say the mail is not sent again: " + text)
    expect(not any(line.startswith("mail ") for line in smtp), "wrong-secret: a mail went out: %s" % smtp)
    expect(not smtp, "wrong-secret: the SMTP server was dialled: %s" % smtp)
    expect(len(tokens) == 1, "wrong-secret: %d token requests, expected 1" % len(tokens))
    expect(SECRET not in text, "wrong-secret: the secret is in the entry")

if failures:
    raise SystemExit("oauth_service_wine: %d failure(s)" % len(failures))
print("oauth_service_wine: passed")
