#!/usr/bin/python3
"""100 alert mails from one foreground host with AUTH=OAUTH2 against the real
OAuth peers (oidc-provider over HTTPS, the token-checking SMTP peer over
STARTTLS): the authorization server must count one token request for all of
them. Then as many from a host with AUTH PLAIN on the same SMTP peer (which
takes that login for the benchmark). Prints the median and the 90th
percentile of the time from the check asked for (SIGHUP) to the mail at the
peer for both, the first alert (which fetches the token) apart, and their
ratio.

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


PLAIN_PASSWORD = "Bench-Pass-1"


def mails(peers, sender):
    return sum(1 for line in peers.smtp_log() if line.startswith("mail %s " % sender))


def wait_mails(peers, sender, n, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if mails(peers, sender) >= n:
            return True
        time.sleep(0.002)
    return False


def run_host(peers, name, login_lines):
    """Alerts from one foreground host: (first alert's time, later ones' times)."""
    host_dir = os.path.join(work, name)
    os.makedirs(host_dir, exist_ok=True)
    sender = "warden-%s@example.jp" % name
    lines = ["[WARNING]", "INTERVAL=24", "ISMAILSEND=1", "REMIND=0", "[DRIVE]", "C=100%", "[MAIL]", "SMTP=127.0.0.1",
             "PORT=%d" % peers.smtp_port, "SECURITY=STARTTLS", "MAILFROM=" + sender, "MAILTO=ops@example.jp",
             "USER=" + USER] + login_lines
    write_file(os.path.join(host_dir, "Drivewarden.ini"), "\r\n".join(lines) + "\r\n")
    env = dict(os.environ, SSL_CERT_FILE=os.path.join(work, "ca.pem"), https_proxy="", HTTPS_PROXY="")
    err = open(os.path.join(work, name + ".err"), "wb")
    start = time.monotonic()
    host = spawn([service, "--foreground", "--windir=" + host_dir, "--eventlog=" + os.path.join(host_dir, "events.json")],
                 stdin=subprocess.DEVNULL, stdout=err, stderr=subprocess.STDOUT, env=env)
    if not wait_mails(peers, sender, 1):
        sys.exit("bench: %s: the first alert did not arrive" % name)
    first = time.monotonic() - start
    times = []
    for n in range(2, alerts + 1):
        asked = time.monotonic()
        host.send_signal(signal.SIGHUP)
        if not wait_mails(peers, sender, n):
            sys.exit("bench: %s: alert %d did not arrive" % (name, n))
        times.append(time.monotonic() - asked)
    host.send_signal(signal.SIGTERM)
    host.wait(30)
    err.close()
    return first, sorted(times)


peers = OAuthPeers(ROOT, work)
peers.smtp_plain = {USER: PLAIN_PASSWORD}
# The peer keeps the server's keys, as a production server does: otherwise
# its own key fetch per token is what the comparison measures.
peers.smtp_cache_jwks = True
with peers:
    oauth_first, oauth = run_host(peers, "oauth", ["AUTH=OAUTH2", "TOKENURL=" + peers.token_url,
                                                   "SCOPE=" + MICROSOFT_SCOPE, "CLIENTID=post-client",
                                                   "CLIENTSECRET=" + SECRET])
    plain_first, plain = run_host(peers, "plain", ["PASSWORD=" + PLAIN_PASSWORD])
    requests = [t for t in peers.token_requests() if t[2] == "post-client"]
    print("bench: %s" % service)
    print("bench: %d alerts with OAuth 2.0, %d token request(s)" % (alerts, len(requests)))
    print("bench: first alert from the start: OAuth 2.0 (token fetched) %.0f ms, AUTH PLAIN %.0f ms"
          % (oauth_first * 1000, plain_first * 1000))
    median_oauth, median_plain = statistics.median(oauth), statistics.median(plain)
    print("bench: later alerts, check to mail: OAuth 2.0 (kept token) median %.1f ms p90 %.1f ms; "
          "AUTH PLAIN median %.1f ms p90 %.1f ms; ratio %.2f"
          % (median_oauth * 1000, oauth[int(len(oauth) * 0.9) - 1] * 1000, median_plain * 1000,
             plain[int(len(plain) * 0.9) - 1] * 1000, median_oauth / median_plain))
    sys.exit(0 if len(requests) == 1 else 1)
