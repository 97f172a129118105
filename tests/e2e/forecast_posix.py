"""The forecast on the one-shot host (forecast_posix.sh): drive D: maps to a
folder of this machine; a history file written here gives it seven days of
hourly samples around its real free space. A steady fill that reaches the
threshold in about three days makes the check a warning with the forecast
line, mails it to an aiosmtpd server under the forecast's own subject and
writes the forecast to the metrics; the same history rising instead is an
information check that says nothing of a forecast and, the forecast being
over, sends the recovery notice. Each run adds its own sample to the file.
Argument: the work folder."""
import email
import email.header
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time

from aiosmtpd.controller import Controller

from e2e_lib import SERVICE

work = sys.argv[1]
data = os.path.join(work, "data")
metrics = os.path.join(work, "metrics")
GiB = 1 << 30
MiB = 1 << 20


class Sink:
    def __init__(self):
        self.messages = []
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.messages.append(email.message_from_bytes(envelope.original_content))
        return "250 2.0.0 queued"


def free_now():
    st = os.statvfs(data)
    return st.f_bavail * st.f_frsize


def subject(message):
    return str(email.header.make_header(email.header.decode_header(message["Subject"])))


def body(message):
    return message.get_payload(decode=True).decode("iso-2022-jp")


def write_history(per_day):
    """Hourly samples of D: for the last 7 days: today's free space, changing
    by `per_day` bytes a day (negative: filling)."""
    now = int(time.time())
    free = free_now()
    cap = os.statvfs(data).f_blocks * os.statvfs(data).f_frsize
    lines = ["quotawarden-history 1", "volume D:"]
    for hours_ago in range(7 * 24, 0, -1):
        t = now - hours_ago * 3600
        lines.append(f"{t} {free - per_day * hours_ago // 24} {cap}")
    with open(os.path.join(work, "history.txt"), "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def run(name):
    events = os.path.join(work, f"events-{name}.json")
    done = subprocess.run([SERVICE, "--once", f"--windir={work}", f"--eventlog={events}"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
    assert done.returncode == 0, (name, done.returncode, done.stderr)
    for mark in ("AddressSanitizer", "runtime error:", "LeakSanitizer"):
        assert mark not in done.stderr, done.stderr
    return [json.loads(line) for line in open(events, encoding="utf-8")]


def metric(name):
    text = open(os.path.join(metrics, "quotawarden.prom"), encoding="utf-8").read()
    m = re.search(r"^" + name + r'\{drive="D"\} (-?\d+)$', text, re.M)
    return int(m.group(1)) if m else None


def samples_of_d():
    text = open(os.path.join(work, "history.txt"), encoding="ascii").read().split("\n")
    assert text[0] == "quotawarden-history 1", text[:2]
    return [line for line in text[2:] if line]


sink = Sink()
probe = socket.socket()
probe.bind(("127.0.0.1", 0))
port = probe.getsockname()[1]
probe.close()
controller = Controller(sink, hostname="127.0.0.1", port=port)
controller.start()
try:
    free = free_now()
    # Three days of a 1 GiB-a-day fill above the threshold.
    threshold_mb = (free - 3 * GiB) // MiB
    assert threshold_mb > 0, free
    with open(os.path.join(work, "Drivewarden.ini"), "w", newline="") as f:
        f.write("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\nRECOVERYMAIL=1\r\nFORECASTDAYS=7\r\n"
                f"[DRIVE]\r\nD={threshold_mb}MB\r\n"
                f"[MAIL]\r\nSMTP=127.0.0.1\r\nPORT={port}\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp\r\n"
                f"[METRICS]\r\nTEXTFILEDIR={metrics}\r\n")

    # A steady fill: the forecast.
    write_history(-GiB)
    entries = run("fill")
    warnings = [e for e in entries if e["type"] == "warning"]
    assert len(warnings) == 1 and not [e for e in entries if e["type"] == "error"], entries
    text = warnings[0]["text"]
    m = re.search(r"D ドライブ : (\d{4}/\d\d/\d\d) ごろ \((あと (\d+) 日|1 日以内)、1 日あたり ([0-9,]+) バイト減少\)",
                  text)
    assert m, text
    days_left = int(m.group(3)) if m.group(3) else 0
    assert 2 <= days_left <= 3, text
    rate = int(m.group(4).replace(",", ""))
    assert abs(rate - GiB) < GiB // 50, (rate, text)
    reach = time.strftime("%Y/%m/%d", time.localtime(time.time() + 3 * 86400))
    assert m.group(1) in (reach, time.strftime("%Y/%m/%d", time.localtime(time.time() + 2.5 * 86400))), (m.group(1), reach)
    assert "しきい値以下のドライブは" not in text, text
    deadline = time.time() + 10
    while time.time() < deadline and not sink.messages:
        time.sleep(0.1)
    assert len(sink.messages) == 1, len(sink.messages)
    assert subject(sink.messages[0]) == "ドライブ領域不足の予測のお知らせ", subject(sink.messages[0])
    assert m.group(0) in body(sink.messages[0]), body(sink.messages[0])
    seconds = metric("quotawarden_drive_threshold_forecast_seconds")
    assert seconds is not None and 2 * 86400 < seconds < 3.5 * 86400, seconds
    per_day = metric("quotawarden_drive_free_bytes_change_per_day")
    assert per_day is not None and abs(per_day + GiB) < GiB // 50, per_day
    assert len(samples_of_d()) == 7 * 24 + 1, len(samples_of_d())
    status = open(os.path.join(work, "status.ini"), encoding="cp932", newline="").read()
    assert "FORECAST=D\r\n" in status, status

    # The same history rising: no forecast, the forecast is over.
    write_history(GiB)
    entries = run("rise")
    assert [e["type"] for e in entries] == ["information"], entries
    assert "ごろ" not in entries[0]["text"] and "見込み" not in entries[0]["text"], entries[0]["text"]
    deadline = time.time() + 10
    while time.time() < deadline and len(sink.messages) < 2:
        time.sleep(0.1)
    assert len(sink.messages) == 2, len(sink.messages)
    assert subject(sink.messages[1]) == "ドライブ領域回復のお知らせ", subject(sink.messages[1])
    assert metric("quotawarden_drive_threshold_forecast_seconds") is None
    per_day = metric("quotawarden_drive_free_bytes_change_per_day")
    assert per_day is not None and abs(per_day - GiB) < GiB // 50, per_day
    assert len(samples_of_d()) == 7 * 24 + 1, len(samples_of_d())
finally:
    controller.stop()
print("forecast_posix: ok")
