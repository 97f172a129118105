#!/usr/bin/python3
"""The token's life in the installed service under Wine (see
oauth_token_wine.sh). One service: each case writes Drivewarden.ini (a
MAILFROM of its own, so that the SMTP peer's lines are the case's) and asks
for a check with control 128; the service reads the changed file at that
check. Each case is judged by the new entries, status.ini and the peers'
own logs (token requests, SMTP logins and mails, tinyproxy's CONNECT).

  oauth_token_wine.py WORK PREFIX tokens|silent
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

from e2e_lib import ROOT, entries, free_port, write_file
from wine_service import WineService, wait_until

sys.path.insert(0, os.path.join(ROOT, "tests", "peers"))
import oauth_peers  # noqa: E402
from oauth_peers import MICROSOFT_SCOPE, OTHER_SCOPE, SECRET, SERVICE_ACCOUNT, USER  # noqa: E402

work, prefix, part = sys.argv[1], sys.argv[2], sys.argv[3]
svc = WineService(work)
events = os.path.join(work, "events.json")
ini = os.path.join(prefix, "drive_c", "windows", "Drivewarden.ini")
status_ini = os.path.join(prefix, "drive_c", "ProgramData", "Quotawarden", "status.ini")
tools = os.path.join(prefix, "drive_c", "Quotawarden")
failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)
        print("oauth_token_wine: FAIL " + message, flush=True)
    return condition


class Peers(oauth_peers.OAuthPeers):
    """The shared peers, with a secret client for each case that counts its
    requests, and one whose tokens live 10 s (kept 8 s, a fifth before
    their end, then fetched anew)."""

    def _clients(self):
        clients = super()._clients()
        for name in ("several", "revoked", "proxy"):
            clients.append({"client_id": name + "-client", "client_secret": SECRET,
                            "token_endpoint_auth_method": "client_secret_post"})
        clients.append({"client_id": "expiring-client", "client_secret": SECRET,
                        "token_endpoint_auth_method": "client_secret_post", "accessTokenTTL": 10})
        return clients


class SilentEndpoint:
    """Accepts connections and never answers; keeps them."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.accepted = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.accepted.append(conn)


def service_pid():
    """The pid of the service's process in this prefix (other prefixes may
    run one too), or None."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                if b"QuotawardenService.exe" not in f.read():
                    continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if ("WINEPREFIX=%s" % prefix).encode() in f.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


def settings(peers, case, login):
    """Mail on for every check (REMIND=0, a threshold every check falls
    under) from warden-CASE, and the OAuth keys of `login`."""
    lines = ["[WARNING]", "INTERVAL=24", "ISMAILSEND=1", "REMIND=0", "[DRIVE]", "C=99%", "[MAIL]",
             "SMTP=127.0.0.1", "PORT=%d" % peers.smtp_port, "SECURITY=STARTTLS", "TLSVERIFY=1",
             "MAILFROM=warden-%s@example.jp" % case, "MAILTO=admin@example.jp", "USER=" + USER, "AUTH=OAUTH2"]
    lines += ["%s=%s" % pair for pair in login]
    write_file(ini, "\r\n".join(lines) + "\r\n")


def secret_login(peers, client, url=None, scope=MICROSOFT_SCOPE, more=()):
    return [("TOKENURL", url or peers.token_url), ("SCOPE", scope), ("CLIENTID", client),
            ("CLIENTSECRET", SECRET)] + list(more)


def status_mail():
    """status.ini's [MAIL] keys, and whether a mail waits for a retry."""
    if not os.path.exists(status_ini):
        return {}, False
    text = open(status_ini, encoding="cp932", errors="replace").read()
    keys, section = {}, ""
    for line in text.splitlines():
        if line.startswith("["):
            section = line.strip()
        elif section == "[MAIL]" and "=" in line:
            key, _, value = line.partition("=")
            keys[key] = value
    return keys, "[PENDINGALERT]" in text


class Mark:
    """What the logs and entries held before a case: the case sees only
    what came after."""

    def __init__(self, peers):
        self.peers = peers
        self.entries = len(entries(events))
        self.smtp = len(peers.smtp_log())
        self.tokens = len(peers.token_requests())

    def new_entries(self):
        return entries(events)[self.entries:]

    def errors(self):
        return [str(e.get("text", e)) for e in self.new_entries() if e.get("type") == "error"]

    def smtp_lines(self):
        return self.peers.smtp_log()[self.smtp:]

    def mails(self, case):
        return [l for l in self.smtp_lines() if l.startswith("mail warden-%s@" % case)]

    def tokens_of(self, client):
        return [t for t in self.peers.token_requests()[self.tokens:] if t[2] == client]


def control_128(name):
    rc, out = svc.wine(r"C:\Quotawarden\sc_control.exe", "Drivewarden", "128", name="control-" + name, timeout=30)
    expect(rc == 0, "%s: sc_control Drivewarden 128: exit %d %s" % (name, rc, out.strip()[-200:]))


def check(name, mark, mails, bound=40):
    """Control 128, then wait until the case's `mails`-th mail arrives or
    an error entry comes after `mark`; the seconds it took."""
    started = time.monotonic()
    control_128(name)
    wait_until(lambda: len(mark.mails(name)) >= mails or mark.errors(), bound)
    time.sleep(0.5)  # an entry written right after the mail
    return time.monotonic() - started


def delivered(name, mark, mails, client, requests):
    expect(len(mark.mails(name)) == mails, "%s: %d mails, expected %d: %s" % (name, len(mark.mails(name)), mails,
                                                                             mark.smtp_lines()))
    expect(any(l.startswith("auth ok XOAUTH2 " + USER) for l in mark.smtp_lines()),
           "%s: no XOAUTH2 login accepted: %s" % (name, mark.smtp_lines()))
    ok = [t for t in mark.tokens_of(client) if t[1] == "200"]
    expect(len(ok) == requests, "%s: %d token requests, expected %d: %s" % (name, len(ok), requests,
                                                                          mark.tokens_of(client)))
    expect(not mark.errors(), "%s: error entries: %s" % (name, mark.errors()))
    keys, pending = status_mail()
    expect(keys.get("DELIVERED") == "1" and not pending, "%s: status.ini says %s, pending %s" % (name, keys, pending))


def failed(name, mark, says, elapsed, bound):
    """The check's one error entry names `says`, the mail waits for the
    retry timer (status.ini too) and went nowhere."""
    errors = mark.errors()
    found = [t for t in errors if all(s in t for s in says)]
    expect(len(errors) == 1 and found, "%s: no single error entry with %s: %s" % (name, says, errors))
    expect(all("再送します" in t and "再送しません" not in t for t in found), "%s: not kept for a retry: %s" % (name, found))
    expect(not mark.mails(name), "%s: a mail went through: %s" % (name, mark.mails(name)))
    expect(elapsed < bound, "%s: took %.1f s, bound %d s" % (name, elapsed, bound))
    keys, pending = status_mail()
    expect(keys.get("DELIVERED") == "0" and all(s in keys.get("REPLY", "") for s in says) and pending,
           "%s: status.ini says %s, pending %s" % (name, keys, pending))
    expect(all(SECRET not in str(e) for e in mark.new_entries()), "%s: the secret in an entry" % name)


def tinyproxy(peers):
    port = free_port()
    conf = os.path.join(work, "tinyproxy.conf")
    log = os.path.join(work, "tinyproxy.log")
    write_file(conf, "Port %d\nListen 127.0.0.1\nTimeout 30\nLogFile \"%s\"\nLogLevel Connect\nMaxClients 10\n"
               "Allow 127.0.0.1\nConnectPort %d\n" % (port, log, peers.oauth_port))
    proc = subprocess.Popen(["tinyproxy", "-d", "-c", conf], stdin=subprocess.DEVNULL,
                            stdout=open(os.path.join(work, "tinyproxy.out"), "wb"), stderr=subprocess.STDOUT)

    def listening():
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0
    expect(wait_until(listening, 10), "tinyproxy did not listen")
    return proc, port, log


def start_on(peers, name, login, bound=90, parameters=()):
    """The service (re)started on the settings of `login` (with its start
    `parameters`); its first check's mark, once the case's mail or an error
    entry came."""
    svc.ensure_stopped()
    mark = Mark(peers)
    settings(peers, name, login)
    started = time.monotonic()
    svc.start(None, *parameters)
    wait_until(lambda: mark.mails(name) or mark.errors(), bound)
    time.sleep(0.5)
    return mark, time.monotonic() - started


def tokens_part(peers):
    # A service account's key, at the service's start. The key file as the
    # peers wrote it: its token_uri is https://127.0.0.1:PORT/google/token.
    shutil.copy(os.path.join(peers.work, "service_account.json"), os.path.join(tools, "service_account.json"))
    mark, _ = start_on(peers, "sa", [("SERVICEACCOUNT", r"C:\Quotawarden\service_account.json")])
    delivered("sa", mark, 1, SERVICE_ACCOUNT, 1)
    expect(all(t[3] == "urn:ietf:params:oauth:grant-type:jwt-bearer" for t in mark.tokens_of(SERVICE_ACCOUNT)),
           "sa: not the JWT bearer grant: %s" % mark.tokens_of(SERVICE_ACCOUNT))

    # Three alerts, one token (the secret written in clear: the service
    # protects it in the file after the first check, which changes the file).
    mark = Mark(peers)
    settings(peers, "several", secret_login(peers, "several-client"))
    for n in (1, 2, 3):
        check("several", mark, n)
    delivered("several", mark, 3, "several-client", 1)

    # A token that expires: kept while it is good, fetched anew after.
    mark = Mark(peers)
    settings(peers, "expired", secret_login(peers, "expiring-client"))
    check("expired", mark, 1)
    check("expired", mark, 2)
    expect(len(mark.tokens_of("expiring-client")) == 1, "expired: fetched again while good: %s" %
           mark.tokens_of("expiring-client"))
    time.sleep(8.5)
    check("expired", mark, 3)
    delivered("expired", mark, 3, "expiring-client", 2)

    # A token the SMTP server no longer takes: one fresh token, one more try.
    mark = Mark(peers)
    settings(peers, "revoked", secret_login(peers, "revoked-client"))
    check("revoked", mark, 1)
    peers.revoke("revoked-client")
    time.sleep(1.1)  # the fresh token is issued in a later second than the revocation
    check("revoked", mark, 2)
    delivered("revoked", mark, 2, "revoked-client", 2)
    expect(any(l.endswith(" revoked") for l in mark.smtp_lines()), "revoked: the peer never refused the old token")

    # Through tinyproxy, named by PROXY=. The endpoint by name: Wine's
    # WinHTTP sends no CONNECT through a proxy for a URL that holds an
    # address (tinyproxy logs an empty request line and the fetch fails).
    proxy, proxy_port, proxy_log = tinyproxy(peers)
    try:
        mark = Mark(peers)
        url = peers.token_url.replace("//127.0.0.1:", "//localhost:")
        settings(peers, "proxy", secret_login(peers, "proxy-client", url=url,
                                              more=[("PROXY", "127.0.0.1:%d" % proxy_port)]))
        check("proxy", mark, 1)
        delivered("proxy", mark, 1, "proxy-client", 1)
        seen = open(proxy_log, errors="replace").read() if os.path.exists(proxy_log) else ""
        expect("CONNECT localhost:%d" % peers.oauth_port in seen, "proxy: tinyproxy saw no CONNECT: %s" % seen[-300:])
    finally:
        proxy.send_signal(signal.SIGTERM)
        try:
            proxy.wait(10)
        except subprocess.TimeoutExpired:
            proxy.kill()
            proxy.wait()

    # The token step's failures, and a refusal at AUTH: the mail kept for
    # the retry timer.
    cases = [
        # name, the login, what the entry names
        ("unknown-url", secret_login(peers, "post-client", url=peers.issuer + "/nope/token"), ["TOKEN: ", "404"]),
        ("down", secret_login(peers, "post-client", url="https://127.0.0.1:%d/token" % free_port()), ["TOKEN: "]),
        ("refused", secret_login(peers, "other-scope-client", scope=OTHER_SCOPE),
         ["AUTH: 535", "(status=invalid_token"]),
    ]
    for name, login, says in cases:
        mark = Mark(peers)
        settings(peers, name, login)
        elapsed = check(name, mark, 1)
        failed(name, mark, says, elapsed, 30)
    refused = [t for t in peers.token_requests() if t[2] == "other-scope-client"]
    expect(len(refused) == 2, "refused: %d token requests, expected 2 (one renewal)" % len(refused))


def silent_part(peers):
    # Nobody answers: the fetch ends at the mail's silence bound (60 s,
    # shortened to 20 s for this start by /MAILTIMEOUT), the mail kept for
    # the retry timer.
    silent = SilentEndpoint()
    login = secret_login(peers, "post-client", url="https://127.0.0.1:%d/token" % silent.port)
    mark, elapsed = start_on(peers, "silent", login, bound=60, parameters=("/MAILTIMEOUT=20",))
    failed("silent", mark, ["TOKEN: "], elapsed, 45)
    expect(elapsed >= 19, "silent: the fetch ended after %.1f s, before the 20 s bound" % elapsed)
    expect(silent.accepted, "silent: the fetch never reached the endpoint")

    # A stop while the next fetch waits for it.
    before = len(silent.accepted)
    control_128("stop")
    expect(wait_until(lambda: len(silent.accepted) > before, 20), "stop: the fetch never reached the endpoint")
    time.sleep(0.5)
    pid = service_pid()
    expect(pid, "stop: no service process in this prefix")
    started = time.monotonic()
    svc.stop()
    # The process's end, seen without another wine command in between.
    ended = wait_until(lambda: not os.path.exists("/proc/%d" % pid), 30, step=0.05) if pid else False
    seconds = time.monotonic() - started
    expect(ended and seconds < 5, "stop: the service ended %s after %.1f s during the fetch" % (ended, seconds))
    expect(svc.wait_state("STOPPED", 30), "stop: not STOPPED")
    stops = [str(e.get("text", "")) for e in mark.new_entries() if "TOKEN" in str(e.get("text", ""))][1:]
    expect(stops and all("サービスの次の開始後に再送します" in t for t in stops),
           "stop: no entry keeping the mail for the next start: %s" % stops)
    print("oauth_token_wine: silent %.1f s, stop %.1f s" % (elapsed, seconds), flush=True)


with Peers(ROOT, os.path.join(work, "peers")) as peers:
    # The test CA among the machine's trusted roots (WinHTTP checks the
    # token endpoint against them; the SMTP peer's certificate too).
    shutil.copy(os.path.join(peers.work, "ca.pem"), os.path.join(tools, "ca.pem"))
    rc, out = svc.wine(r"C:\Quotawarden\http_probe.exe", "--trust", r"C:\Quotawarden\ca.pem", name="trust")
    expect(rc == 0, "the test CA was not added to the machine's roots: exit %d %s" % (rc, out.strip()))
    {"tokens": tokens_part, "silent": silent_part}[part](peers)

if failures:
    raise SystemExit("oauth_token_wine %s: %d failure(s)" % (part, len(failures)))
print("oauth_token_wine %s: passed" % part)
