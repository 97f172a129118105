"""A volume filled at a steady rate (forecast_fill_posix.sh): the foreground
host watches the tmpfs WORK/data by its [VOLUME] key (16 MB) with
FORECASTDAYS=2, samples every second on a clock 10,800 times as fast, and is
asked for a check (SIGHUP) every second while this script writes 3 MB a
second into the volume (24 MB a day of the host's clock). Once a day of
samples is kept the check warns of the forecast and mails it under the
forecast's subject, while the free space is still above the threshold; the
shortage follows later. Then --history prints the volume's days and its
forecast line, and a damaged history file is an error exit.
Argument: the work folder."""
import email
import email.header
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

from aiosmtpd.controller import Controller

from e2e_lib import SANITIZER_MARKS, SERVICE, spawn

work = sys.argv[1]
data = os.path.join(work, "data")
events = os.path.join(work, "events.json")
MiB = 1 << 20
THRESHOLD = 16 * MiB
SPEED = 10800


class Sink:
    def __init__(self):
        self.messages = []  # (monotonic time, free bytes then, subject)
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        message = email.message_from_bytes(envelope.original_content)
        subject = str(email.header.make_header(email.header.decode_header(message["Subject"])))
        with self.lock:
            self.messages.append((time.monotonic(), free_now(), subject))
        return "250 2.0.0 queued"


def free_now():
    st = os.statvfs(data)
    return st.f_bavail * st.f_frsize


def entries():
    if not os.path.exists(events):
        return []
    with open(events, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def fail(message):
    print("forecast_fill_posix:", message, file=sys.stderr)
    for e in entries()[-6:]:
        print(" ", e["type"], e["text"].replace("\r\n", " | "), file=sys.stderr)
    sys.exit(1)


sink = Sink()
probe = socket.socket()
probe.bind(("127.0.0.1", 0))
port = probe.getsockname()[1]
probe.close()
controller = Controller(sink, hostname="127.0.0.1", port=port)
controller.start()
host = None
try:
    with open(os.path.join(work, "Drivewarden.ini"), "w", newline="") as f:
        f.write("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\nREMIND=240\r\nFORECASTDAYS=2\r\n"
                f"[VOLUME]\r\n{data}=16MB\r\n"
                f"[MAIL]\r\nSMTP=127.0.0.1\r\nPORT={port}\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\n")
    output = open(os.path.join(work, "host.log"), "wb")
    host = spawn([SERVICE, "--foreground", f"--windir={work}", f"--eventlog={events}", "--sample-every=1",
                  f"--clock-speed={SPEED}"], stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 15
    while not [e for e in entries() if e["type"] in ("information", "warning")]:
        if host.poll() is not None or time.monotonic() > deadline:
            fail(f"no first check (host ended: {host.poll()})")
        time.sleep(0.05)
    first = entries()[-1]
    if first["type"] != "information" or data not in first["text"]:
        fail("the first check is not an information naming the volume: " + first["text"])

    # 3 MB a second in steps of 0.75 MB, a check asked for every second.
    forecast = None  # (monotonic time, free bytes then, entry text)
    shortage = None
    crossed = None
    start = time.monotonic()
    step = 0
    with open(os.path.join(data, "fill"), "wb") as fill:
        while time.monotonic() - start < 40:
            step += 1
            target = start + step * 0.25
            time.sleep(max(0.0, target - time.monotonic()))
            if free_now() > 2 * MiB:
                fill.write(b"\0" * (768 * 1024))
                fill.flush()
            if crossed is None and free_now() < THRESHOLD:
                crossed = time.monotonic()
            if step % 4 == 0:
                if host.poll() is not None:
                    fail(f"the host ended ({host.returncode})")
                host.send_signal(signal.SIGHUP)
            for e in entries():
                if e["type"] != "warning" or data not in e["text"]:
                    continue
                if forecast is None and "ごろ (" in e["text"] and "しきい値以下" not in e["text"]:
                    forecast = (time.monotonic(), free_now(), e["text"])
                if "しきい値以下" in e["text"]:
                    shortage = e["text"]
            if shortage:
                break
    if forecast is None:
        fail("no forecast warning within 40 s")
    if crossed is not None and crossed < forecast[0]:
        fail(f"the forecast came {forecast[0] - crossed:.1f} s after the threshold was crossed")
    if forecast[1] < THRESHOLD:
        fail(f"the free space was {forecast[1]} bytes at the forecast, below the threshold")
    line = [l for l in forecast[2].split("\r\n") if l.startswith(data + " : ")]
    if not line or "1 日あたり" not in line[0] or "バイト減少" not in line[0]:
        fail("no forecast line for the volume: " + forecast[2])
    if shortage is None:
        fail("the shortage never came")
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and len(sink.messages) < 2:
        time.sleep(0.1)
    with sink.lock:
        mails = list(sink.messages)
    if not mails or mails[0][2] != "ドライブ領域不足の予測のお知らせ":
        fail(f"the first mail is not the forecast: {[m[2] for m in mails]}")
    if mails[0][1] < THRESHOLD or (crossed is not None and mails[0][0] > crossed):
        fail("the forecast mail came after the threshold was crossed")
    if len(mails) < 2 or mails[1][2] != "ドライブ領域不足のお知らせ":
        fail(f"no shortage mail after the forecast: {[m[2] for m in mails]}")

    host.send_signal(signal.SIGTERM)
    rc = host.wait(15)
    output.close()
    log = open(os.path.join(work, "host.log"), encoding="utf-8", errors="replace").read()
    if rc != 0:
        fail(f"the host exited {rc}: {log[-2000:]}")
    for mark in SANITIZER_MARKS:
        if mark in log:
            fail(log)
    if [e for e in entries() if e["type"] == "error"]:
        fail("error entries")

    # The history: the volume by its path, one sample per hour of the host's
    # clock at most, over more than a day.
    lines = open(os.path.join(work, "history.txt"), encoding="utf-8").read().split("\n")
    at = lines.index("volume " + data)
    samples = []
    for l in lines[at + 1:]:
        if not l or l.startswith("volume "):
            break
        samples.append([int(x) for x in l.split()])
    if len(samples) < 8 or samples[-1][0] - samples[0][0] < 86400:
        fail(f"{len(samples)} samples over {samples[-1][0] - samples[0][0]} s")
    if any(a[0] // 3600 == b[0] // 3600 for a, b in zip(samples, samples[1:])):
        fail("two samples in one hour of the host's clock")

    # --history: the days of the volume and its forecast line.
    done = subprocess.run([SERVICE, "--history", f"--windir={work}"], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=30)
    text = done.stdout.decode("utf-8")
    if done.returncode != 0:
        fail(f"--history exited {done.returncode}: {done.stderr.decode('utf-8', 'replace')}")
    out = text.split("\n")
    if f"[{data}] しきい値 16,777,216 バイト" not in out:
        fail("--history has no heading for the volume:\n" + text)
    head = out.index(f"[{data}] しきい値 16,777,216 バイト")
    days = []
    for l in out[head + 1:]:
        if "  空き 最小 " not in l:
            break
        days.append(l)
    if len(days) < 2 or not out[head + 1 + len(days)].startswith(data + " : "):
        fail("--history's days or forecast line missing:\n" + text)
    last_free = samples[-1][1]
    if f"最後 {last_free:,} バイト" not in days[-1]:
        fail(f"the last day does not end at {last_free}:\n" + text)

    with open(os.path.join(work, "history.txt"), "w") as f:
        f.write("quotawarden-history 1\nvolume /x\n12 x 3\n")
    done = subprocess.run([SERVICE, "--history", f"--windir={work}"], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=30)
    err = done.stderr.decode("utf-8", "replace")
    if done.returncode != 1 or "履歴ファイルが壊れています" not in err or done.stdout:
        fail(f"a damaged history: exit {done.returncode}, stderr {err!r}")
    print(f"forecast_fill_posix: ok (forecast at {forecast[1] // MiB} MB free, "
          f"{forecast[0] - start:.1f} s into the fill; threshold crossed at "
          f"{(crossed or time.monotonic()) - start:.1f} s)")
finally:
    if host is not None and host.poll() is None:
        host.kill()
    controller.stop()
