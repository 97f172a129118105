#!/usr/bin/python3
"""A supervisor's notification socket, as systemd hands one to a Type=notify
unit in NOTIFY_SOCKET.

  notify_receiver.py NAME LOG

Binds NAME (a Unix datagram socket: "@name" for an abstract name, else a
path), creates LOG.bound once bound, then writes each datagram as a JSON
line {"t": <wall-clock seconds>, "m": <text>} to LOG, until killed."""
import json
import socket
import sys
import time

name, log = sys.argv[1], sys.argv[2]
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("\0" + name[1:] if name.startswith("@") else name)
open(log + ".bound", "w").close()
with open(log, "a", encoding="utf-8") as out:
    while True:
        data = s.recv(4096)
        out.write(json.dumps({"t": time.time(), "m": data.decode("utf-8")}, ensure_ascii=False) + "\n")
        out.flush()
