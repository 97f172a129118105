#!/usr/bin/python3
"""A loopback HTTPS server for the tests of the HTTP client.

  https_test_server.py PORTFILE LOGFILE NAME=CERT:KEY|NAME=plain ...

Serves HTTPS on one free loopback port per NAME (each with its own
certificate and key; plain HTTP for "plain"), plus one port named "silent" that accepts connections
and never says a byte. Writes "NAME PORT" lines to PORTFILE once every port
listens. Every request that arrives is appended to LOGFILE as one JSON line
(server, method, path, headers, body).

Paths:
  /echo          200, application/json: the request as the server saw it
  /status/N      status N with a short text body
  /silent        reads the request and never answers
  /trickle       200, Content-Length 1000, then one byte every 0.2 s
  /size/N        200 with a body of N bytes (Content-Length)
  /chunked/N     200 with a body of N bytes, chunked
  /redirect      302 to http://example.invalid/
  /hb/...        200 "OK" (a heartbeat receiver: any path below /hb/)
"""
import json
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

log_lock = threading.Lock()


def make_handler(name, log_path):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def _read_body(self):
            length = int(self.headers.get("Content-Length") or 0)
            return self.rfile.read(length) if length else b""

        def _answer(self, status, body, content_type="text/plain; charset=utf-8", extra=()):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            for key, value in extra:
                self.send_header(key, value)
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)

        def _handle(self):
            # The absolute form of the request target (RFC 9112, 3.2.2),
            # which a server must accept; recorded as such.
            absolute = self.path.startswith(("http://", "https://"))
            if absolute:
                rest = self.path.split("://", 1)[1]
                self.path = "/" + rest.split("/", 1)[1] if "/" in rest else "/"
            body = self._read_body()
            record = {
                "server": name,
                "method": self.command,
                "path": self.path,
                "absolute_form": absolute,
                "headers": [[k, v] for k, v in self.headers.items()],
                "body": body.decode("utf-8", "replace"),
            }
            with log_lock, open(log_path, "a", encoding="utf-8") as log:
                log.write(json.dumps(record, ensure_ascii=False) + "\n")
            path = self.path
            if path == "/echo":
                self._answer(200, json.dumps(record, ensure_ascii=False).encode("utf-8"),
                             "application/json; charset=utf-8")
            elif path.startswith("/status/"):
                code = int(path.split("/")[2])
                self._answer(code, ("status %d\n" % code).encode())
            elif path == "/silent":
                time.sleep(120)
            elif path == "/trickle":
                self.send_response(200)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", "1000")
                self.end_headers()
                for _ in range(1000):
                    self.wfile.write(b"x")
                    self.wfile.flush()
                    time.sleep(0.2)
            elif path.startswith("/size/"):
                self._answer(200, b"y" * int(path.split("/")[2]), "application/octet-stream")
            elif path.startswith("/chunked/"):
                left = int(path.split("/")[2])
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                while left > 0:
                    n = min(left, 65536)
                    self.wfile.write(b"%x\r\n" % n + b"z" * n + b"\r\n")
                    left -= n
                self.wfile.write(b"0\r\n\r\n")
            elif path.startswith("/hb/"):
                self._answer(200, b"OK")
            elif path == "/redirect":
                self._answer(302, b"moved\n", extra=[("Location", "http://example.invalid/")])
            else:
                self._answer(404, b"no such path\n")

        do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = _handle

    return Handler


class TlsServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, handler, context):
        super().__init__(address, handler)
        self.context = context

    def get_request(self):
        sock, address = self.socket.accept()
        if self.context is None:
            return sock, address
        # The handshake happens in the request's own thread, on its first
        # read: a client that never shakes hands holds up no other.
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address

    def handle_error(self, request, client_address):
        pass


def silent_port():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    held = []

    def accept():
        while True:
            conn, _ = listener.accept()
            held.append(conn)

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def main():
    port_file, log_path = sys.argv[1], sys.argv[2]
    lines = []
    for spec in sys.argv[3:]:
        name, files = spec.split("=", 1)
        context = None
        if files != "plain":
            cert, key = files.split(":", 1)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
        server = TlsServer(("127.0.0.1", 0), make_handler(name, log_path), context)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        lines.append("%s %d" % (name, server.server_address[1]))
    lines.append("silent %d" % silent_port())
    with open(port_file + ".tmp", "w") as f:
        f.write("\n".join(lines) + "\n")
    import os
    os.replace(port_file + ".tmp", port_file)
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
