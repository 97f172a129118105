#!/usr/bin/python3
"""100 alert mails from one foreground host with AUTH=OAUTH2 against the real
OAuth peers (oidc-provider over HTTPS, the token-checking SMTP peer over
STARTTLS): the authorization server must count one token request for all of
them. Prints the median and the 90th percentile of the time from the check
asked for (SIGHUP) to the mail at the peer, the first alert (which fetches
the token) apart.

  oauth_alerts.py WORK [ALERTS]
"""
import os
import signal
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from e2e_lib import ROOT, SERVICE, spawn, write_file  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tests", "peers"))
from oauth_peers import MICROSOFT_SCOPE, SECRET, USER, OAuthPeers  # noqa: E402

work = sys.argv[1]
alerts = int(sys.argv[2]) if len(sys.argv) > 2 else 100
service = os.environ.get("QW_BENCH_SERVICE", SERVICE)


def mails(peers):
    return sum(1 for line in peers.smtp_log() if line.startswith("mail "))


def wait_mails(peers, n, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if mails(peers) >= n:
            return True
        time.sleep(0.002)
    return False


with OAuthPeers(ROOT, work) as peers:
    host_dir = os.path.join(work, "host")
    os.makedirs(host_dir, exist_ok=True)
    lines = ["[WARNING]", "INTERVAL=24", "ISMAILSEND=1", "REMIND=0", "[DRIVE]", "C=100%", "[MAIL]", "SMTP=127.0.0.1",
             "PORT=%d" % peers.smtp_port, "SECURITY=STARTTLS", "MAILFROM=warden@example.jp", "MAILTO=ops@example.jp",
             "USER=" + USER, "AUTH=OAUTH2", "TOKENURL=" + peers.token_url, "SCOPE=" + MICROSOFT_SCOPE,
             "CLIENTID=post-client", "CLIENTSECRET=" + SECRET]
    write_file(os.path.join(host_dir, "Drivewarden.ini"), "\r\n".join(lines) + "\r\n")
    env = dict(os.environ, SSL_CERT_FILE=os.path.join(work, "ca.pem"), https_proxy="", HTTPS_PROXY="")
    err = open(os.path.join(work, "host.err"), "wb")
    start = time.monotonic()
    host = spawn([service, "--foreground", "--windir=" + host_dir, "--eventlog=" + os.path.join(work, "events.json")],
                 stdin=subprocess.DEVNULL, stdout=err, stderr=subprocess.STDOUT, env=env)
    if not wait_mails(peers, 1):
        sys.exit("bench: the first alert did not arrive")
    first = time.monotonic() - start
    times = []
    for n in range(2, alerts + 1):
        asked = time.monotonic()
        host.send_signal(signal.SIGHUP)
        if not wait_mails(peers, n):
            sys.exit("bench: alert %d did not arrive" % n)
        times.append(time.monotonic() - asked)
    host.send_signal(signal.SIGTERM)
    host.wait(30)
    requests = [t for t in peers.token_requests() if t[2] == "post-client"]
    print("bench: %s" % service)
    print("bench: %d alerts, %d token request(s)" % (alerts, len(requests)))
    print("bench: first alert (start, token fetch, mail): %.0f ms" % (first * 1000))
    times.sort()
    print("bench: later alerts (cached token), check to mail: median %.1f ms, p90 %.1f ms"
          % (statistics.median(times) * 1000, times[int(len(times) * 0.9) - 1] * 1000))
    sys.exit(0 if len(requests) == 1 else 1)
