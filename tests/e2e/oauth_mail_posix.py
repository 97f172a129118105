#!/usr/bin/python3
"""The alert mail with AUTH=OAUTH2, from the native host to the real peers:
the authorization server (oidc-provider over HTTPS, a test CA) and the SMTP
peer that checks each token's signature, audience, scope and expiry over
STARTTLS. Each case has a settings folder and a client of its own, so that
the cases run side by side and the server's token count is theirs:

  secret, certificate, service account   delivered with each credential
  several alerts                         three alerts, one token request
  expired, revoked                       one more request each, delivered
  wrong secret                           TOKEN: invalid_client, not retried
  unknown URL                            TOKEN with the HTTP status, retried
  endpoint down, endpoint silent         TOKEN, bounded, retried
  refused by SMTP                        AUTH with the decoded challenge
  proxy                                  the request through tinyproxy
  stop during fetch                      SIGTERM ends a hung fetch in seconds
  test mail                              --test-mail prints the token step

  oauth_mail_posix.py WORK
"""
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import e2e_lib
from e2e_lib import ROOT, SERVICE, Case, check_clean, entries, free_port, run, run_cases, spawn, write_file

sys.path.insert(0, os.path.join(ROOT, "tests", "peers"))
import oauth_peers  # noqa: E402
from oauth_peers import GOOGLE_SCOPE, MICROSOFT_SCOPE, OTHER_SCOPE, SECRET, USER  # noqa: E402

work = sys.argv[1]
CLIENTS = ["secret", "several", "revoked", "wrongsecret", "proxy", "stop", "testmail"]


class Peers(oauth_peers.OAuthPeers):
    """The shared peers, with a secret client for each case that counts."""

    def _clients(self):
        clients = super()._clients()
        for name in CLIENTS:
            clients.append({"client_id": name + "-client", "client_secret": SECRET,
                            "token_endpoint_auth_method": "client_secret_post"})
        # Lives 10 s: kept 8 s (a fifth before its end), then fetched anew.
        clients.append({"client_id": "expiring-client", "client_secret": SECRET,
                        "token_endpoint_auth_method": "client_secret_post", "accessTokenTTL": 10})
        return clients


def settings(case, peers, oauth_lines):
    lines = ["[WARNING]", "INTERVAL=24", "ISMAILSEND=1", "REMIND=0", "[DRIVE]", "C=100%", "[MAIL]",
             "SMTP=127.0.0.1", "PORT=%d" % peers.smtp_port, "SECURITY=STARTTLS",
             "MAILFROM=warden-%s@example.jp" % case.name, "MAILTO=ops@example.jp", "USER=" + USER,
             "AUTH=OAUTH2"] + oauth_lines
    write_file(case.path("Drivewarden.ini"), "\r\n".join(lines) + "\r\n")


def secret_lines(peers, client, secret=SECRET, url=None, scope=MICROSOFT_SCOPE):
    return ["TOKENURL=" + (url or peers.token_url), "SCOPE=" + scope, "CLIENTID=" + client, "CLIENTSECRET=" + secret]


def env(peers, **more):
    # The test CA for both the SMTP peer's certificate and the token
    # endpoint's; no proxy from the surroundings.
    e = {"SSL_CERT_FILE": os.path.join(work, "ca.pem"), "https_proxy": "", "HTTPS_PROXY": "",
         "no_proxy": "", "NO_PROXY": ""}
    e.update(more)
    return e


def once(case, peers, extra=(), **more):
    return run([SERVICE, "--once", "--windir=" + case.dir, "--eventlog=" + case.path("events.json"), *extra], case,
               env=env(peers, **more))


def mails(peers, case):
    return [l for l in peers.smtp_log() if l.startswith("mail warden-%s@" % case.name)]


def tokens(peers, client):
    return [t for t in peers.token_requests() if t[2] == client]


def texts(case, kind=None):
    return [e.get("text", "") for e in entries(case.path("events.json")) if kind is None or e.get("type") == kind]


def errors(case):
    return texts(case, "error")


class Foreground:
    """The service host in the foreground on a case folder."""

    def __init__(self, case, peers, extra=()):
        self.case = case
        self.err = open(case.path("host.err"), "wb")
        full = dict(os.environ)
        full.update(env(peers))
        self.proc = spawn([SERVICE, "--foreground", "--windir=" + case.dir, "--eventlog=" + case.path("events.json"),
                           *extra], stdin=subprocess.DEVNULL, stdout=self.err, stderr=subprocess.STDOUT, env=full)

    def stop(self, bound=10):
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            rc = self.proc.wait(bound)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = None
        self.err.close()
        return rc, time.monotonic() - start

    def output(self):
        return open(self.case.path("host.err"), encoding="utf-8", errors="replace").read()


def wait_until(condition, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def delivered_once(name, lines_of):
    def case_fn(case):
        peers = shared
        settings(case, peers, lines_of(peers))
        result = once(case, peers)
        check_clean(case, result)
        case.expect(result.rc == 0, "exit %d: %s" % (result.rc, result.err[-400:]))
        case.expect(len(mails(peers, case)) == 1, "mails at the peer: %s" % mails(peers, case))
        case.expect(not errors(case), "error entries: %s" % errors(case))
    return name, case_fn


def several(case):
    peers = shared
    settings(case, peers, secret_lines(peers, "several-client"))
    host = Foreground(case, peers)
    for n in (1, 2, 3):
        if n > 1:
            host.proc.send_signal(signal.SIGHUP)
        case.expect(wait_until(lambda: len(mails(peers, case)) >= n, 20), "alert %d not delivered" % n)
    rc, _ = host.stop()
    case.expect(rc == 0, "foreground exit %s" % rc)
    case.expect(len(tokens(peers, "several-client")) == 1,
                "token requests for 3 alerts: %s" % tokens(peers, "several-client"))


def expired(case):
    peers = shared
    settings(case, peers, secret_lines(peers, "expiring-client"))
    host = Foreground(case, peers)
    case.expect(wait_until(lambda: len(mails(peers, case)) >= 1, 20), "first alert not delivered")
    time.sleep(8.5)
    host.proc.send_signal(signal.SIGHUP)
    case.expect(wait_until(lambda: len(mails(peers, case)) >= 2, 20), "alert after the expiry not delivered")
    host.stop()
    count = [t for t in tokens(peers, "expiring-client") if t[1] == "200"]
    case.expect(len(count) == 2, "token requests: %s" % count)
    case.expect(not errors(case), "error entries: %s" % errors(case))


def revoked(case):
    peers = shared
    settings(case, peers, secret_lines(peers, "revoked-client"))
    host = Foreground(case, peers)
    case.expect(wait_until(lambda: len(mails(peers, case)) >= 1, 20), "first alert not delivered")
    peers.revoke("revoked-client")
    time.sleep(1.1)  # the fresh token is issued in a later second than the revocation
    host.proc.send_signal(signal.SIGHUP)
    case.expect(wait_until(lambda: len(mails(peers, case)) >= 2, 20), "alert after the revocation not delivered")
    host.stop()
    case.expect(len(tokens(peers, "revoked-client")) == 2, "token requests: %s" % tokens(peers, "revoked-client"))
    case.expect(any(l.endswith(" revoked") for l in peers.smtp_log()), "the peer never refused the revoked token")
    case.expect(not errors(case), "error entries: %s" % errors(case))


def failed_once(name, lines_of, says, final, client=None, requests=None, extra=(), bound=None):
    def case_fn(case):
        peers = shared
        settings(case, peers, lines_of(peers))
        result = once(case, peers, extra)
        check_clean(case, result)
        case.expect(result.rc == 2, "exit %d, expected 2: %s" % (result.rc, result.err[-400:]))
        case.expect(not mails(peers, case), "a mail went through")
        found = [t for t in errors(case) if all(s in t for s in says)]
        case.expect(found, "no error entry with %s: %s" % (says, errors(case)))
        note = "再送しません" if final else "次の実行で再送します"
        case.expect(any(note in t for t in found), "not %s: %s" % ("final" if final else "retried", found))
        if client:
            case.expect(len(tokens(peers, client)) == requests, "token requests: %s" % tokens(peers, client))
        if bound:
            case.expect(result.seconds < bound, "took %.1f s, bound %d s" % (result.seconds, bound))
        case.expect(all(SECRET not in t for t in texts(case)), "the secret in an entry")
    return name, case_fn


class SilentEndpoint:
    """Accepts connections and never answers; counts them."""

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


def proxy(case):
    peers = shared
    port = free_port()
    conf = case.path("tinyproxy.conf")
    log = case.path("tinyproxy.log")
    write_file(conf, "Port %d\nListen 127.0.0.1\nTimeout 30\nLogFile \"%s\"\nLogLevel Connect\nMaxClients 10\n"
               "Allow 127.0.0.1\nConnectPort %d\n" % (port, log, peers.oauth_port))
    proxy_out = open(case.path("tinyproxy.out"), "wb")
    tp = spawn(["tinyproxy", "-d", "-c", conf], stdout=proxy_out, stderr=subprocess.STDOUT)
    try:
        case.expect(e2e_lib_wait_port(port), "tinyproxy did not listen")
        settings(case, peers, secret_lines(peers, "proxy-client") + ["PROXY=127.0.0.1:%d" % port])
        result = once(case, peers)
        check_clean(case, result)
        case.expect(result.rc == 0, "exit %d: %s" % (result.rc, result.err[-400:]))
        case.expect(len(mails(peers, case)) == 1, "mails at the peer: %s" % mails(peers, case))
        seen = open(log, errors="replace").read() if os.path.exists(log) else ""
        case.expect("CONNECT" in seen and str(peers.oauth_port) in seen, "tinyproxy saw no CONNECT: %s" % seen[-300:])
        # Nothing listens at the proxy: TOKEN names the failure, retried.
        tp.send_signal(signal.SIGTERM)
        tp.wait(10)
        result = once(case, peers)
        case.expect(result.rc == 2, "exit %d without the proxy" % result.rc)
        case.expect(any("TOKEN: " in t for t in errors(case)), "no TOKEN entry without the proxy: %s" % errors(case))
    finally:
        if tp.poll() is None:
            tp.kill()
            tp.wait()
        proxy_out.close()


def e2e_lib_wait_port(port, seconds=10):
    def listening():
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0
    return wait_until(listening, seconds)


def stop_during_fetch(case):
    peers = shared
    silent = SilentEndpoint()
    settings(case, peers, secret_lines(peers, "stop-client", url="https://127.0.0.1:%d/token" % silent.port))
    host = Foreground(case, peers, ["--mail-timeout=120", "--mail-deadline=300"])
    case.expect(wait_until(lambda: silent.accepted, 20), "the fetch never reached the endpoint")
    time.sleep(0.3)
    rc, seconds = host.stop(bound=15)
    case.expect(rc == 0, "exit %s after SIGTERM" % rc)
    case.expect(seconds < 5, "the stop took %.1f s during the fetch" % seconds)
    case.expect(e2e_lib.sanitizer_report(host.output()) == [], "sanitizer: %s" % e2e_lib.sanitizer_report(host.output()))


def test_mail(case):
    peers = shared
    settings(case, peers, secret_lines(peers, "testmail-client"))
    result = run([SERVICE, "--test-mail", "--windir=" + case.dir], case, env=env(peers))
    check_clean(case, result)
    case.expect(result.rc == 0, "exit %d: %s %s" % (result.rc, result.out[-400:], result.err[-200:]))
    case.expect("* TOKEN %s: 取得しました" % peers.token_url in result.out, "no token step: %s" % result.out[:600])
    case.expect("AUTH XOAUTH2 ****" in result.out, "the AUTH line not masked: %s" % result.out[:600])
    case.expect("送信しました" in result.out, "not sent: %s" % result.out[-300:])
    case.expect("eyJ" not in result.out, "a token in the transcript")
    # A wrong secret: the token step's failure, exit 1.
    settings(case, peers, secret_lines(peers, "testmail-client", secret="wrong"))
    result = run([SERVICE, "--test-mail", "--windir=" + case.dir], case, name="wrong", env=env(peers))
    case.expect(result.rc == 1, "exit %d with a wrong secret" % result.rc)
    case.expect("TOKEN: invalid_client" in result.out, "no TOKEN failure: %s" % result.out[-400:])


with Peers(ROOT, work) as shared:
    down = free_port()
    silent = SilentEndpoint()
    cases = [
        delivered_once("secret", lambda p: secret_lines(p, "secret-client")),
        delivered_once("certificate", lambda p: ["TOKENURL=" + p.token_url, "SCOPE=" + MICROSOFT_SCOPE,
                                                 "CLIENTID=cert-client",
                                                 "CLIENTCERT=" + os.path.join(work, "client.pem")]),
        delivered_once("service_account", lambda p: ["SERVICEACCOUNT=" + os.path.join(work, "service_account.json")]),
        ("several", several),
        ("expired", expired),
        ("revoked", revoked),
        failed_once("wrong_secret", lambda p: secret_lines(p, "wrongsecret-client", secret="wrong"),
                    ["TOKEN: invalid_client"], True, "wrongsecret-client", 1),
        failed_once("unknown_url", lambda p: secret_lines(p, "secret-client", url=p.issuer + "/nope/token"),
                    ["TOKEN: ", "404"], False),
        failed_once("endpoint_down", lambda p: secret_lines(p, "secret-client",
                                                            url="https://127.0.0.1:%d/token" % down),
                    ["TOKEN: "], False, bound=15),
        failed_once("endpoint_silent", lambda p: secret_lines(p, "secret-client",
                                                              url="https://127.0.0.1:%d/token" % silent.port),
                    ["TOKEN: "], False, extra=["--mail-timeout=3"], bound=15),
        failed_once("refused_by_smtp", lambda p: secret_lines(p, "other-scope-client", scope=OTHER_SCOPE),
                    ["AUTH: 535", "(status=invalid_token"], False, "other-scope-client", 2),
        ("proxy", proxy),
        ("stop_during_fetch", stop_during_fetch),
        ("test_mail", test_mail),
    ]
    failed = run_cases("oauth_mail_posix", cases, work, workers=8)
sys.exit(1 if failed else 0)
