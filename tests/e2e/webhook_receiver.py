#!/usr/bin/python3
"""A loopback HTTPS receiver of alert webhooks, scripted per path.

  webhook_receiver.py PORTFILE LOGFILE CERT KEY PATH=ANSWER[,ANSWER...] ...

With CERT "-" it listens in plain HTTP (the settings take http:// on a
loopback address). ANSWER is a status, optionally with a Retry-After value
("429:4"), "trickle" (a 200 answer sent one byte every half second, about
40 s in all) or "hang" (the request is read and never answered); each
request to PATH takes the next answer, the last one repeats. A path not
scripted answers 404. Writes the port to PORTFILE once listening; every
request is appended to LOGFILE as one JSON line (t: wall-clock seconds,
path, headers, body). The answer's body is "status N" and a second line."""
import json
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

port_file, log_path, cert, key = sys.argv[1:5]
script = {}
for route in sys.argv[5:]:
    path, answers = route.split("=", 1)
    script[path] = [a.split(":", 1) for a in answers.split(",")]
taken = {}
lock = threading.Lock()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        with lock:
            n = taken.get(self.path, 0)
            taken[self.path] = n + 1
            answers = script.get(self.path, [["404"]])
            answer = answers[min(n, len(answers) - 1)]
            with open(log_path, "a", encoding="utf-8") as log:
                log.write(json.dumps({"t": time.time(), "path": self.path,
                                      "headers": [[k, v] for k, v in self.headers.items()],
                                      "body": body.decode("utf-8", "replace")}, ensure_ascii=False) + "\n")
        if answer[0] == "hang":
            time.sleep(3600)
            return
        if answer[0] == "trickle":
            self.close_connection = True
            raw = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 40\r\n\r\n" + b"x" * 40
            try:
                for i in range(len(raw)):
                    self.wfile.write(raw[i:i + 1])
                    self.wfile.flush()
                    time.sleep(0.5)
            except OSError:
                pass
            return
        status = int(answer[0])
        text = ("status %d\nsecond line\n" % status).encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(text)))
        if len(answer) > 1:
            self.send_header("Retry-After", answer[1])
        if 300 <= status < 400:
            self.send_header("Location", "http://127.0.0.1:1/elsewhere")
        self.end_headers()
        self.wfile.write(text)


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
if cert != "-":
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
with open(port_file + ".tmp", "w") as f:
    f.write("%d\n" % server.server_address[1])
import os
os.replace(port_file + ".tmp", port_file)
server.serve_forever()
