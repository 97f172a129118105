"""The cases of metrics_posix.sh (see there); the argument is the work folder."""
import os, re, signal, subprocess, sys, time, urllib.request
sys.path.insert(0, os.path.join(os.getcwd(), "tests", "e2e"))
from e2e_lib import *

work = sys.argv[1]
FAMILIES = ["quotawarden_info", "quotawarden_last_check_timestamp_seconds", "quotawarden_last_check_success",
            "quotawarden_check_interval_seconds",
            "quotawarden_alert_mail_last_success_timestamp_seconds", "quotawarden_alert_mail_failures_total",
            "quotawarden_alert_last_success_timestamp_seconds", "quotawarden_alert_failures_total",
            "quotawarden_alert_pending",
            "quotawarden_drive_free_bytes", "quotawarden_drive_size_bytes", "quotawarden_drive_threshold_bytes",
            "quotawarden_drive_below_threshold"]


def samples(text, prefix="quotawarden_"):
    """{"name{labels}": float} of the sample lines whose name starts with
    prefix, the labels in name order (node_exporter sorts them)."""
    out = {}
    for line in text.splitlines():
        if not line or line.startswith("#") or not line.startswith(prefix):
            continue
        key, value = line.rsplit(" ", 1)
        if "{" in key:
            name, labels = key[:-1].split("{", 1)
            pairs = sorted(re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', labels))
            key = name + "{" + ",".join('%s="%s"' % p for p in pairs) + "}"
        out[key] = float(value)
    return out


def drive_map(case, letters):
    """dosdevices/<letter>: links to folders of the case: drives of the host."""
    os.makedirs(case.path("dosdevices"), exist_ok=True)
    for letter in letters:
        os.makedirs(case.path("vol", letter), exist_ok=True)
        os.symlink(case.path("vol", letter), case.path("dosdevices", letter.lower() + ":"))


def ini(case, folder, drives, mail_port=None, mailto="admin@example.jp"):
    rows = ["[WARNING]", "INTERVAL=24", "ISMAILSEND=%d" % (1 if mail_port else 0), "[DRIVE]", *drives,
            "[METRICS]", "TEXTFILEDIR=" + folder]
    if mail_port:
        rows += ["[MAIL]", "SMTP=127.0.0.1", "PORT=%d" % mail_port, "MAILFROM=warden@example.jp", "MAILTO=" + mailto]
    write_file(case.path("Drivewarden.ini"), "\r\n".join(rows) + "\r\n")


def state(case):
    sections, current = {}, None
    for line in open(case.path("status.ini"), "rb").read().decode("cp932").split("\r\n"):
        if line.startswith("["):
            current = sections.setdefault(line.strip("[]"), {})
        elif line:
            key, value = line.split("=", 1)
            current[key] = value
    return sections


def utc_seconds(stamp):
    return int(time.mktime(time.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ"))) - time.timezone if stamp else 0


def promtool_check(case, path):
    with open(path, "rb") as f:
        p = subprocess.run(["promtool", "check", "metrics"], stdin=f, capture_output=True, timeout=30)
    case.expect(p.returncode == 0 and not p.stdout.strip() and not p.stderr.strip(),
                "promtool check metrics: exit %d %s %s" % (p.returncode, p.stdout[-400:], p.stderr[-400:]))


def node_exporter_case(case):
    drive_map(case, "CD")
    prom = case.path("prom")
    os.makedirs(prom)
    ini(case, prom, ["C=99%", "D=1MB"])
    r = once(case)
    check_clean(case, r)
    case.expect(r.rc == 0, "--once exit %d: %s" % (r.rc, r.err[-300:]))
    path = os.path.join(prom, "quotawarden.prom")
    text = open(path, encoding="utf-8").read()
    case.expect(text.endswith("\n"), "the file ends with a line feed")
    for family in FAMILIES:
        case.expect("# HELP %s " % family in text and "# TYPE %s " % family in text, "HELP and TYPE of " + family)
    case.expect(sorted(os.listdir(prom)) == ["quotawarden.prom"], "no temporary file left: %s" % os.listdir(prom))
    promtool_check(case, path)

    port = free_port()
    log = open(case.path("node_exporter.log"), "wb")
    exporter = spawn(["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % port,
                      "--collector.disable-defaults", "--collector.textfile",
                      "--collector.textfile.directory=" + prom],
                     stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    body, end = None, time.monotonic() + 20
    while time.monotonic() < end and exporter.poll() is None:
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as resp:
                body = resp.read().decode("utf-8")
                break
        except OSError:
            time.sleep(0.1)
    exporter.terminate()
    try:
        exporter.wait(10)
    except subprocess.TimeoutExpired:
        exporter.kill()
        exporter.wait()
    if not case.expect(body is not None, "node_exporter did not answer: " + open(case.path("node_exporter.log")).read()[-500:]):
        return
    scraped, written = samples(body), samples(text)
    case.expect(scraped == written, "scraped %s, written %s" % (scraped, written))
    node = samples(body, "node_textfile_")
    case.expect(node.get("node_textfile_scrape_error") == 0, "node_textfile_scrape_error %s" % node.get("node_textfile_scrape_error"))
    case.expect(any("quotawarden.prom" in k for k in node), "node_textfile_mtime_seconds names the file: %s" % node)

    # The values are those of this check: its entry, its state, the drive.
    s = state(case)
    entry = entries(case.path("events.json"))[0]
    for letter in "CD":
        d = s["DRIVE." + letter]
        label = '{drive="%s"}' % letter
        free = re.search(letter + r" ドライブの空き領域: ([0-9,]+) バイト", entry["text"]).group(1).replace(",", "")
        case.expect(scraped.get("quotawarden_drive_free_bytes" + label) == int(free) == int(d["FREE"]),
                    "%s free: scraped %s, entry %s, state %s" % (letter, scraped.get("quotawarden_drive_free_bytes" + label), free, d["FREE"]))
        st = os.statvfs(case.path("vol", letter))
        case.expect(scraped.get("quotawarden_drive_size_bytes" + label) == st.f_blocks * st.f_frsize,
                    "%s size %s, statvfs %d" % (letter, scraped.get("quotawarden_drive_size_bytes" + label), st.f_blocks * st.f_frsize))
        case.expect(scraped.get("quotawarden_drive_threshold_bytes" + label) == int(d["THRESHOLDBYTES"]), letter + " threshold")
        case.expect(scraped.get("quotawarden_drive_below_threshold" + label) == int(d["BELOW"]), letter + " below")
    case.expect(scraped.get('quotawarden_drive_threshold_bytes{drive="D"}') == 1048576, "D=1MB is 1048576 bytes")
    case.expect(scraped.get('quotawarden_drive_below_threshold{drive="C"}') == 1, "C=99% is crossed")
    case.expect(scraped.get("quotawarden_last_check_timestamp_seconds") == utc_seconds(s["CHECK"]["UTC"]),
                "check time %s, state %s" % (scraped.get("quotawarden_last_check_timestamp_seconds"), s["CHECK"]["UTC"]))
    case.expect(abs(scraped.get("quotawarden_last_check_timestamp_seconds", 0) - time.time()) < 120, "check time is now")
    case.expect(scraped.get("quotawarden_last_check_success") == 1, "success")
    case.expect(scraped.get("quotawarden_check_interval_seconds") == 24 * 3600, "INTERVAL=24 is a day")
    info = [k for k in scraped if k.startswith("quotawarden_info{")]
    case.expect(len(info) == 1 and 'version="' in info[0] and 'host="' in info[0], "info: %s" % info)


def mail_failures_case(case):
    drive_map(case, "C")
    prom = case.path("prom")
    os.makedirs(prom)
    ini(case, prom, ["C=99%"], mail_port=free_port())  # nothing listens there
    for n in (1, 2):
        r = once(case, extra=["--mail-timeout=5", "--mail-deadline=10"])
        check_clean(case, r)
        case.expect(r.rc == 2, "run %d: exit %d, expected 2" % (n, r.rc))
        got = samples(open(os.path.join(prom, "quotawarden.prom")).read())
        case.expect(got.get("quotawarden_alert_mail_failures_total") == n, "run %d: failures %s" % (n, got.get("quotawarden_alert_mail_failures_total")))
        case.expect(got.get("quotawarden_alert_mail_last_success_timestamp_seconds") == 0, "never delivered")
        case.expect(got.get("quotawarden_last_check_success") == 1, "a failed mail is no failed check")
    server = Server(case.dir)
    try:
        ini(case, prom, ["C=99%"], mail_port=server.port)
        r = once(case)
        case.expect(r.rc == 0, "delivered: exit %d %s" % (r.rc, r.err[-300:]))
    finally:
        server.stop()
    got = samples(open(os.path.join(prom, "quotawarden.prom")).read())
    s = state(case)
    case.expect(got.get("quotawarden_alert_mail_failures_total") == 2, "the counter holds after a delivery")
    case.expect(got.get("quotawarden_alert_mail_last_success_timestamp_seconds") == utc_seconds(s["MAIL"]["LASTDELIVERYUTC"]) > 0,
                "last success %s, state %s" % (got.get("quotawarden_alert_mail_last_success_timestamp_seconds"), s["MAIL"]))
    case.expect(s["MAIL"].get("FAILURES") == "2", "status.ini FAILURES=%s" % s["MAIL"].get("FAILURES"))


def unwritable_case(case):
    drive_map(case, "C")
    absent = case.path("absent")
    ini(case, absent, ["C=1MB"])
    r = once(case)
    check_clean(case, r)
    case.expect(r.rc == 0, "exit %d: the check's own code" % r.rc)
    ev = entries(case.path("events.json"))
    case.expect([e["type"] for e in ev] == ["information", "error"], "entries %s" % ev)
    if len(ev) == 2:
        case.expect(os.path.join(absent, "quotawarden.prom") in ev[1]["text"] and ev[1]["id"] == 5610, ev[1])
    case.expect(not os.path.exists(absent), "nothing created")
    case.expect(os.path.exists(case.path("status.ini")), "the state is still written")


def broken_settings_case(case):
    drive_map(case, "C")
    for name, value in (("relative", "prom"), ("control", case.path("prom") + "\x01x")):
        ini(case, value, ["C=1MB"])
        r = once(case)
        check_clean(case, r)
        case.expect(r.rc == 1, "%s: exit %d, expected 1" % (name, r.rc))
        case.expect("[METRICS] TEXTFILEDIR=" in r.err, "%s: stderr %r" % (name, r.err[-300:]))
        case.expect(not os.path.exists(case.path("prom")), name + ": no file")
    # A good folder beside a value that does not convert: a one-shot run
    # knows no good settings, so it writes no file (and exits 1 as before).
    os.makedirs(case.path("prom"))
    ini(case, case.path("prom"), ["C=1 MB"])
    r = once(case)
    case.expect(r.rc == 1 and "[DRIVE] C=1 MB" in r.err, "broken drive: exit %d %r" % (r.rc, r.err[-200:]))
    case.expect(os.listdir(case.path("prom")) == [], "broken drive: nothing in the folder")


READER = r"""
import os, sys
path, stop, expect, types = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
reads = bad = 0
versions = set()
example = ""
while not os.path.exists(stop):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        continue
    reads += 1
    lines = data.split(b"\n")
    whole = data.endswith(b"\n") and sum(1 for l in lines if l.startswith(b"# TYPE ")) == types \
        and sum(1 for l in lines if l.startswith(b"quotawarden_")) == expect
    if whole:
        versions.add([l for l in lines if l.startswith(b"quotawarden_drive_threshold_bytes")][0])
    else:
        bad += 1
        example = example or repr(data[-80:])
print(reads, bad, len(versions), example)
"""


def reader_case(case):
    rounds = int(os.environ.get("QW_ROUNDS", "1000" if os.environ.get("QW_SLOW") else "150"))
    drive_map(case, "C")
    prom = case.path("prom")
    os.makedirs(prom)
    path = os.path.join(prom, "quotawarden.prom")
    ini(case, prom, ["C=1MB"])
    r = once(case)
    case.expect(r.rc == 0, "first run exit %d" % r.rc)
    reference = open(path, "rb").read()
    expect = len([l for l in reference.split(b"\n") if l.startswith(b"quotawarden_")])
    types = len([l for l in reference.split(b"\n") if l.startswith(b"# TYPE ")])

    def race(writer):
        stop = case.path("stop")
        if os.path.exists(stop):
            os.remove(stop)
        out = open(case.path("reader.out"), "wb")
        reader = spawn([sys.executable, "-c", READER, path, stop, str(expect), str(types)], stdout=out, stderr=subprocess.STDOUT)
        time.sleep(0.2)
        try:
            writer()
        finally:
            open(stop, "w").close()
            try:
                reader.wait(20)
            except subprocess.TimeoutExpired:
                reader.kill()
                reader.wait()
            out.close()
        reads, bad, versions, example = (open(case.path("reader.out")).read().split(" ", 3) + ["", "", "", ""])[:4]
        return int(reads or 0), int(bad or 0), int(versions or 0), example.strip()

    # The service: the host in the foreground, each round a check on SIGHUP
    # with another threshold (another text and length), so that the reader
    # sees many versions of the file. The write is the one every check does;
    # one process spares a sanitized start per round.
    failures = []
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1")
    events = case.path("writer-events.json")
    writer_log = case.path("writer.log")

    def settings(n):
        write_file(case.path("Drivewarden.ini"),
                   "[WARNING]\r\nINTERVAL=24\r\n[DRIVE]\r\nC=%dMB\r\n[METRICS]\r\nTEXTFILEDIR=%s\r\n" % (n + 1, prom))

    def checks():
        try:
            with open(events, "rb") as f:
                return f.read().count(b'"id":5610')
        except FileNotFoundError:
            return 0

    def host_output():
        return open(writer_log, encoding="utf-8", errors="replace").read()

    def until(predicate, bound):
        end = time.monotonic() + bound
        while not predicate():
            if time.monotonic() >= end:
                return False
            time.sleep(0.002)
        return True

    def service_writer():
        settings(0)
        with open(writer_log, "wb") as log:
            host = spawn([SERVICE, "--foreground", "--windir=" + case.dir, "--eventlog=" + events],
                         stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=env)
        try:
            # SIGHUP is a check only once the host runs: before, it ends it.
            if not until(lambda: host.poll() is not None or ("running" in host_output() and checks() >= 1), 30):
                failures.append("no first check within 30 s")
                return
            start = time.monotonic()
            for n in range(1, rounds):
                if host.poll() is not None:
                    failures.append(("host ended before round", n, host.returncode))
                    return
                settings(n)
                host.send_signal(signal.SIGHUP)
                if not until(lambda: checks() > n or host.poll() is not None, 30):
                    failures.append(("no check within 30 s of SIGHUP", n))
                    return
                # The stage's own limit is 400 s; a machine this slow fails
                # here with the reason rather than there without one.
                if time.monotonic() - start > 300:
                    failures.append(("over 300 s after round", n))
                    return
        finally:
            if host.poll() is None:
                host.send_signal(signal.SIGTERM)
            try:
                rc = host.wait(15)
            except subprocess.TimeoutExpired:
                host.kill()
                rc = "killed after 15 s"
            if rc != 0:
                failures.append(("the host's exit", rc))
            bad = sanitizer_report(host_output())
            if bad:
                failures.append(("sanitizer report", bad[:3]))
            if checks() != rounds and not failures:
                failures.append(("checks written", checks(), "rounds", rounds))

    reads, bad, versions, example = race(service_writer)
    case.expect(not failures, "runs failed: %s" % failures[:5])
    case.expect(bad == 0, "the reader saw %d partial files of %d reads, e.g. %s" % (bad, reads, example))
    case.expect(versions >= min(100, rounds // 4), "the reader saw only %d versions in %d reads" % (versions, reads))
    case.note("%d checks, %d reads, %d versions seen, 0 partial" % (rounds, reads, versions) if bad == 0 else "")

    # The same reader against a writer that truncates and writes in place:
    # it must catch a part, else the check above proves nothing.
    def plain_writer():
        half = len(reference) // 2
        for _ in range(rounds):
            with open(path, "wb") as f:
                f.write(reference[:half])
                f.flush()
                f.write(reference[half:])
    reads, bad, versions, _ = race(plain_writer)
    case.expect(bad > 0, "the reader caught no partial file of a plain writer in %d reads" % reads)
    case.note("a plain writer: %d partial of %d reads" % (bad, reads))


cases = [
    ("node-exporter", node_exporter_case),
    ("mail-failures", mail_failures_case),
    ("unwritable-folder", unwritable_case),
    ("broken-settings", broken_settings_case),
    ("reader-vs-writer", reader_case),
]
only = os.environ.get("QW_CASES", "").split("|") if os.environ.get("QW_CASES") else []
if only:
    cases = [c for c in cases if c[0] in only]
    assert cases, "QW_CASES names no case"
failed = run_cases("metrics_posix", cases, work, workers=int(os.environ.get("QW_JOBS", "3")))
sys.exit(1 if failed else 0)
