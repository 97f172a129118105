#!/usr/bin/python3
"""A local SMTP server with AUTH PLAIN and LOGIN (aiosmtpd) for the e2e tests.

usage: auth_smtp_server.py PORTFILE LOGFILE USER PASSWORD

Listens on 127.0.0.1 (a free port, written to PORTFILE), accepts one login:
USER with PASSWORD (UTF-8). Each login attempt is one line in LOGFILE,
"ok USER" or "refused USER"; each accepted message one line "mail FROM TO...".
Runs until SIGTERM.
"""
import signal
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

port_file, log_file, user, password = sys.argv[1:5]
lock = threading.Lock()


def log(line):
    with lock, open(log_file, "a", encoding="utf-8") as f:
        f.write(line + "\n")


def authenticator(server, session, envelope, mechanism, auth_data):
    if not isinstance(auth_data, LoginPassword):
        return AuthResult(success=False, handled=False)
    login = auth_data.login.decode("utf-8", "replace")
    ok = login == user and auth_data.password == password.encode("utf-8")
    log(("ok " if ok else "refused ") + login)
    return AuthResult(success=ok)


class Handler:
    async def handle_DATA(self, server, session, envelope):
        if not session.authenticated:
            return "530 5.7.0 Authentication required"
        log("mail " + envelope.mail_from + " " + " ".join(envelope.rcpt_tos))
        return "250 OK"


import socket
probe = socket.socket()
probe.bind(("127.0.0.1", 0))
port = probe.getsockname()[1]
probe.close()
controller = Controller(Handler(), hostname="127.0.0.1", port=port, authenticator=authenticator,
                        auth_require_tls=False, auth_required=True)
controller.start()
with open(port_file + ".tmp", "w") as f:
    f.write(str(port))
import os
os.rename(port_file + ".tmp", port_file)
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *a: stop.set())
signal.signal(signal.SIGINT, lambda *a: stop.set())
stop.wait()
controller.stop()
