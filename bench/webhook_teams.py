#!/usr/bin/python3
"""One Teams alert, connect to response, beside curl posting the same body to
the same receiver in the same run.

A loopback HTTPS receiver (the test CA of tests/e2e) times every connection
itself, from the TCP accept to the last byte of its 200 answer: the TLS
handshake, the request and the answer, the same span for both clients. Each
round runs the one-shot host (--once, a short drive, one TEAMS target) and
then curl with the body the host posted, alternately. Prints the median and
the 90th percentile of both and their ratio (the host's over curl's).

  webhook_teams.py WORK SERVICE [ROUNDS]
"""
import json
import os
import socket
import ssl
import statistics
import subprocess
import sys
import threading
import time

work, service = sys.argv[1:3]
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 20

context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(os.path.join(work, "server.crt"), os.path.join(work, "server.key"))
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(16)
port = listener.getsockname()[1]
spans = {}  # path -> [seconds]
bodies = {}  # path -> last body
lock = threading.Lock()


def serve(conn, accepted):
    try:
        tls = context.wrap_socket(conn, server_side=True)
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = tls.recv(65536)
            if not chunk:
                return
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        path = lines[0].split(" ")[1]
        length = 0
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "content-length":
                length = int(value)
        while len(body) < length:
            chunk = tls.recv(65536)
            if not chunk:
                return
            body += chunk
        answer = b"1"
        tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1\r\nConnection: close\r\n\r\n" + answer)
        done = time.monotonic()
        with lock:
            spans.setdefault(path, []).append(done - accepted)
            bodies[path] = body
        tls.close()
    except (OSError, ssl.SSLError):
        pass


def accept_loop():
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, time.monotonic()), daemon=True).start()


threading.Thread(target=accept_loop, daemon=True).start()

host_dir = os.path.join(work, "host")
os.makedirs(host_dir, exist_ok=True)
url = "https://localhost:%d/teams/host" % port
with open(os.path.join(host_dir, "Drivewarden.ini"), "w", newline="") as f:
    f.write("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\nREMIND=0\r\n[DRIVE]\r\nC=100%\r\n"
            "[WEBHOOK1]\r\nKIND=TEAMS\r\nURL=" + url + "\r\n")
env = dict(os.environ, SSL_CERT_FILE=os.path.join(work, "ca.crt"), https_proxy="", HTTPS_PROXY="")
body_file = os.path.join(work, "body.json")


def count(path):
    with lock:
        return len(spans.get(path, []))


def wait_for(path, n):
    end = time.monotonic() + 10
    while count(path) < n and time.monotonic() < end:
        time.sleep(0.001)
    if count(path) < n:
        raise SystemExit("webhook_teams: no request to %s (round %d)" % (path, n))


for i in range(1, rounds + 1):
    state = os.path.join(work, "state%d" % i)
    os.makedirs(state)
    result = subprocess.run([service, "--once", "--windir=" + host_dir, "--state-dir=" + state,
                             "--eventlog=" + os.path.join(work, "events.json")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env, timeout=60)
    if result.returncode != 0:
        raise SystemExit("webhook_teams: the host exited %d: %s" % (result.returncode, result.stderr.decode()[-2000:]))
    wait_for("/teams/host", i)
    with lock:
        body = bodies["/teams/host"]
    with open(body_file, "wb") as f:
        f.write(body)
    subprocess.run(["curl", "-sS", "-o", "/dev/null", "--cacert", os.path.join(work, "ca.crt"), "--noproxy", "*",
                    "-H", "Content-Type: application/json; charset=utf-8", "--data-binary", "@" + body_file,
                    "https://localhost:%d/teams/curl" % port], check=True, timeout=60)
    wait_for("/teams/curl", i)

card = json.loads(bodies["/teams/host"])
assert card["attachments"][0]["content"]["version"] == "1.4"


def report(name, values):
    ms = sorted(v * 1000 for v in values)
    p90 = ms[min(len(ms) - 1, int(round(0.9 * len(ms))) - 1)]
    print("%-6s median %7.2f ms  p90 %7.2f ms  (%d alerts, %d-byte card)" %
          (name, statistics.median(ms), p90, len(ms), len(bodies["/teams/host"])))
    return statistics.median(ms)


host = report("host", spans["/teams/host"])
curl = report("curl", spans["/teams/curl"])
print("ratio host/curl: %.2f" % (host / curl))
