#!/usr/bin/python3
"""Sends one message with a bearer token through smtplib, as a reference
client for the peers.

usage: bearer_send.py PORT CAFILE MECH USER TOKEN

Connects to 127.0.0.1:PORT, STARTTLS (trusting CAFILE alone), AUTH MECH
(XOAUTH2 or OAUTHBEARER) with the initial response, and sends one message.
Prints "sent", or "refused CODE TEXT" and, when the server sent one, the
line "challenge JSON" with its decoded challenge. Exit code 0 in both cases;
2 for anything else (the server unreachable, TLS refused).
"""
import smtplib
import ssl
import sys

port, cafile, mech, user, token = sys.argv[1:6]
challenges = []


def authobject(challenge=None):
    if challenge is None:
        if mech == "XOAUTH2":
            return "user=%s\x01auth=Bearer %s\x01\x01" % (user, token)
        return "n,a=%s,\x01host=127.0.0.1\x01port=%s\x01auth=Bearer %s\x01\x01" % (
            user.replace("=", "=3D").replace(",", "=2C"), port, token)
    challenges.append(challenge.decode("utf-8", "replace"))
    return "" if mech == "XOAUTH2" else "\x01"


try:
    with smtplib.SMTP("127.0.0.1", int(port), timeout=20) as smtp:
        smtp.ehlo()
        smtp.starttls(context=ssl.create_default_context(cafile=cafile))
        smtp.ehlo()
        try:
            smtp.auth(mech, authobject)
        except smtplib.SMTPAuthenticationError as e:
            print("refused %d %s" % (e.smtp_code, e.smtp_error.decode("utf-8", "replace")))
            for c in challenges:
                print("challenge " + c)
            sys.exit(0)
        smtp.sendmail(user, ["ops@example.jp"], "Subject: peers\r\n\r\nbody\r\n")
        print("sent")
except (OSError, smtplib.SMTPException) as e:
    print("error %s" % e)
    sys.exit(2)
