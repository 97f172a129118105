#!/usr/bin/python3
"""Runs the OAuth peers (tests/peers/oauth_peers.py) until SIGTERM, for a
shell script that drives another program against them (a Wine one): writes
WORK/peers.env (shell assignments: oauth_port, token_url, google_token_url,
smtp_port) once they listen.

  oauth_peers_serve.py WORK
"""
import os
import signal
import sys
import threading

from e2e_lib import ROOT

sys.path.insert(0, os.path.join(ROOT, "tests", "peers"))
from oauth_peers import OAuthPeers  # noqa: E402

work = sys.argv[1]
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *a: stop.set())
signal.signal(signal.SIGINT, lambda *a: stop.set())
with OAuthPeers(ROOT, work) as peers:
    with open(os.path.join(work, "peers.env.tmp"), "w") as f:
        f.write("oauth_port=%d\ntoken_url=%s\ngoogle_token_url=%s\nsmtp_port=%d\n"
                % (peers.oauth_port, peers.token_url, peers.google_token_url, peers.smtp_port))
    os.rename(os.path.join(work, "peers.env.tmp"), os.path.join(work, "peers.env"))
    stop.wait()
