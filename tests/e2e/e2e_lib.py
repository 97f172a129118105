"""Helpers of the end-to-end scripts that drive the native host and the
scriptable test SMTP server from Python: a server per case on its own port
with its session log, settings files, the entries of an events file, a
sanitizer check of a program's output, and a runner that runs cases in
parallel and reports each with its reasons.

The scripts import it with sys.path pointed at tests/e2e."""

import atexit
import concurrent.futures
import json
import os
import signal
import socket
import subprocess
import sys
import time
import traceback

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
NATIVE_BIN = os.path.abspath(os.environ.get("QW_NATIVE_BIN", os.path.join(ROOT, "build", "native", "bin")))
SERVICE = os.path.join(NATIVE_BIN, "QuotawardenService")
SERVER = os.path.join(NATIVE_BIN, "smtp_test_server")
SMTP_SEND = os.path.join(NATIVE_BIN, "smtp_send")

SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "ERROR: UndefinedBehaviorSanitizer", "WARNING: ThreadSanitizer")


# Every program started here, ended when the script ends or is terminated
# (a time-out of the test stage), so that no server outlives its script.
_children = []


def _end_children():
    for proc in list(_children):
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def _on_terminate(signum, frame):
    _end_children()
    os._exit(128 + signum)


atexit.register(_end_children)
signal.signal(signal.SIGTERM, _on_terminate)
signal.signal(signal.SIGINT, _on_terminate)


def spawn(args, **kwargs):
    proc = subprocess.Popen(args, **kwargs)
    _children.append(proc)
    return proc


class CaseFailure(Exception):
    pass


class Case:
    """What one case saw, and the assertions that failed on it."""

    def __init__(self, name, work):
        self.name = name
        self.dir = os.path.join(work, name)
        os.makedirs(self.dir, exist_ok=True)
        self.failures = []
        self.notes = []

    def expect(self, condition, message):
        if not condition:
            self.failures.append(message)
        return bool(condition)

    def note(self, message):
        self.notes.append(message)

    def path(self, *names):
        return os.path.join(self.dir, *names)


def free_port():
    """A loopback port that nothing listens on (bound, then released)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Server:
    """smtp_test_server with its port file, session log and mail folder in
    `folder`; `args` are the scripting options (--at ..., --reply ...)."""

    def __init__(self, folder, args=(), start_timeout=15):
        self.folder = folder
        self.log = os.path.join(folder, "server.log")
        self.maildir = os.path.join(folder, "mail")
        port_file = os.path.join(folder, "port")
        for f in (port_file, self.log):
            if os.path.exists(f):
                os.remove(f)
        self.out = open(os.path.join(folder, "server.out"), "wb")
        self.proc = spawn(
            [SERVER, "--port-file", port_file, "--log", self.log, "--maildir", self.maildir, *args],
            stdin=subprocess.DEVNULL, stdout=self.out, stderr=subprocess.STDOUT)
        end = time.monotonic() + start_timeout
        while time.monotonic() < end:
            if os.path.exists(port_file) and os.path.getsize(port_file) > 0:
                self.port = int(open(port_file).read())
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        self.stop()
        raise CaseFailure("smtp_test_server did not start: " + open(os.path.join(folder, "server.out")).read())

    def log_lines(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()

    def sessions(self):
        """[{"commands": [...], "notes": [...]}] from the session log."""
        out = []
        for line in self.log_lines():
            if line.startswith("# session "):
                out.append({"commands": [], "notes": []})
            elif not out:
                continue
            elif line.startswith("# "):
                out[-1]["notes"].append(line[2:])
            else:
                out[-1]["commands"].append(line)
        return out

    def wait_sessions_ended(self, timeout):
        """Waits until every session begun has ended; False after `timeout`."""
        end = time.monotonic() + timeout
        while True:
            sessions = self.sessions()
            if all(any(n.startswith("end ") for n in s["notes"]) for s in sessions):
                return True
            if time.monotonic() >= end:
                return False
            time.sleep(0.05)

    def messages(self):
        if not os.path.isdir(self.maildir):
            return []
        return sorted(n for n in os.listdir(self.maildir) if n.endswith(".eml"))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()


def ini_text(port=None, mail=True, drive="C=100%", mailto="a@example.jp,b@example.jp", extra_mail=""):
    """A settings file (CR LF lines) with a crossed threshold and, with
    `mail`, the alert mail to the test server on `port`."""
    lines = ["[WARNING]", "INTERVAL=24", "ISMAILSEND=%d" % (1 if mail else 0), "[DRIVE]", drive]
    if port is not None:
        lines += ["[MAIL]", "SMTP=127.0.0.1", "PORT=%d" % port, "MAILFROM=warden@example.jp", "MAILTO=" + mailto]
        if extra_mail:
            lines.append(extra_mail)
    return "\r\n".join(lines) + "\r\n"


def write_file(path, data):
    mode = "wb" if isinstance(data, bytes) else "w"
    kwargs = {} if isinstance(data, bytes) else {"encoding": "utf-8", "newline": ""}
    with open(path, mode, **kwargs) as f:
        f.write(data)


def entries(path):
    """The JSON lines of an events file ([] when there is none); a line that
    is not JSON raises (the file is the product's output)."""
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def sanitizer_report(text):
    return [line for line in text.splitlines() if any(m in line for m in SANITIZER_MARKS)]


class Run:
    def __init__(self, rc, seconds, out, err, timed_out):
        self.rc, self.seconds, self.out, self.err, self.timed_out = rc, seconds, out, err, timed_out


def run(args, case, name="host", timeout=40, env=None):
    """Runs a program to its end (killed after `timeout` s), its output kept
    in the case folder; returns a Run."""
    full_env = dict(os.environ)
    full_env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
    if env:
        full_env.update(env)
    out_path, err_path = case.path(name + ".out"), case.path(name + ".err")
    start = time.monotonic()
    timed_out = False
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        proc = spawn(args, stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=full_env)
        try:
            rc = proc.wait(timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            proc.kill()
            rc = proc.wait()
    seconds = time.monotonic() - start
    read = lambda p: open(p, encoding="utf-8", errors="replace").read()
    return Run(rc, seconds, read(out_path), read(err_path), timed_out)


def once(case, extra=(), timeout=40, env=None):
    """The native one-shot host on the case folder (its Windows directory)."""
    return run([SERVICE, "--once", "--windir=" + case.dir, "--eventlog=" + case.path("events.json"), *extra],
               case, timeout=timeout, env=env)


def check_clean(case, result, what="host"):
    bad = sanitizer_report(result.err) + sanitizer_report(result.out)
    case.expect(not bad, "%s: sanitizer report: %s" % (what, bad[:3]))
    case.expect(not result.timed_out, "%s: still running after the test's bound (killed)" % what)


def run_cases(title, cases, work, workers=6):
    """Runs `cases` ([(name, function(case))]) in parallel, each with a Case
    of its own folder under `work`; prints one line per case and the reasons
    of every failure. Returns the number of failed cases."""
    results = {}

    def one(name, fn):
        case = Case(name, work)
        start = time.monotonic()
        try:
            fn(case)
        except CaseFailure as e:
            case.failures.append(str(e))
        except Exception:
            case.failures.append("script error: " + traceback.format_exc())
        case.seconds = time.monotonic() - start
        return case

    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(one, n, f): n for n, f in cases}
        for fut in concurrent.futures.as_completed(futures):
            case = fut.result()
            results[case.name] = case
    failed = 0
    for name, _ in cases:
        case = results[name]
        status = "ok  " if not case.failures else "FAIL"
        print("%s: %s %-28s (%.1f s)%s" % (title, status, name, case.seconds,
                                           "" if not case.notes else "  " + "; ".join(case.notes)))
        for f in case.failures:
            print("        - " + f)
        failed += bool(case.failures)
    print("%s: %d of %d cases passed" % (title, len(cases) - failed, len(cases)))
    sys.stdout.flush()
    return failed
