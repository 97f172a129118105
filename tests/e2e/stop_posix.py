"""The cases of stop_posix.sh (see there); the argument is the work folder."""
import os, signal, subprocess, sys, time
sys.path.insert(0, os.path.join(os.getcwd(), "tests", "e2e"))
from e2e_lib import *

work = sys.argv[1]
STOP_BOUND = 5.0


def wait_until(predicate, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Foreground:
    """QuotawardenService --foreground on the case folder."""

    def __init__(self, case):
        self.case = case
        self.err_path = case.path("host.err")
        self.out = open(case.path("host.out"), "wb")
        self.err = open(self.err_path, "wb")
        self.proc = spawn(
            [SERVICE, "--foreground", "--windir=" + case.dir, "--eventlog=" + case.path("events.json")],
            stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err)

    def stderr(self):
        return open(self.err_path, encoding="utf-8", errors="replace").read()

    def entries(self):
        return entries(self.case.path("events.json"))

    def end(self, bound):
        """Waits up to `bound` s for the exit; kills after that. (rc, s, killed)."""
        start = time.monotonic()
        try:
            rc = self.proc.wait(bound)
            killed = False
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
            killed = True
        self.out.close()
        self.err.close()
        return rc, time.monotonic() - start, killed

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def stop_during_wait(silent_at):
    def fn(case):
        server = Server(case.dir, ["--at", silent_at + "=silent:"])
        host = None
        try:
            write_file(case.path("Drivewarden.ini"), ini_text(server.port))
            host = Foreground(case)
            silent = wait_until(lambda: any(l == "# silent after " + silent_at for l in server.log_lines()), 30)
            if not silent:
                host.kill()
                raise CaseFailure("the first check never reached the silent %s (host stderr: %r)"
                                  % (silent_at, host.stderr()[-300:]))
            time.sleep(0.3)  # well inside the wait for the reply
            case.expect(host.proc.poll() is None, "the host ended before the stop")
            host.proc.send_signal(signal.SIGTERM)
            rc, seconds, killed = host.end(STOP_BOUND + 10)
        finally:
            if host:
                host.kill()
            server.stop()
        err = host.stderr()
        case.note("stopped after %.1f s, exit %d" % (seconds, rc))
        bad = sanitizer_report(err)
        case.expect(not bad, "sanitizer report: %s" % bad[:3])
        case.expect(not killed, "still running %.0f s after SIGTERM (killed)" % seconds)
        case.expect(seconds <= STOP_BOUND, "stopped %.1f s after SIGTERM, bound %.0f s" % (seconds, STOP_BOUND))
        case.expect(rc == 0, "exit code %d after SIGTERM" % rc)
        case.expect(err.strip().splitlines()[-1:] == ["QuotawardenService: stopped"],
                    "the last state is not stopped: %r" % err.strip().splitlines()[-1:])
        ev = host.entries()
        case.expect(ev[:1] and ev[0]["type"] == "warning", "the first entry is not the warning: %s" % [e["type"] for e in ev])
        errors = [e for e in ev if e["type"] == "error"]
        case.expect(len(errors) == 1 and "cancelled by stop" in errors[0]["text"],
                    "not one error entry with 'cancelled by stop': %s" % [(e["type"], e["text"][:120]) for e in ev[1:]])
        if errors:
            case.expect(errors[0]["source"] == "Drivewarden", "error entry source %r" % errors[0]["source"])
    return fn


def sighup(case):
    """SIGHUP runs a check at once and the host keeps running; the schedule
    (INTERVAL hours) is not reached in the test's time, so each entry after
    the first comes from a SIGHUP."""
    write_file(case.path("Drivewarden.ini"), ini_text(mail=False))
    host = Foreground(case)
    try:
        ok = wait_until(lambda: "running" in host.stderr() and len(host.entries()) >= 1, 30)
        if not ok:
            raise CaseFailure("never running with the first check's entry: %r" % host.stderr()[-300:])
        for n in (2, 3):
            host.proc.send_signal(signal.SIGHUP)
            start = time.monotonic()
            got = wait_until(lambda: len(host.entries()) >= n or host.proc.poll() is not None, 10)
            case.expect(host.proc.poll() is None, "the host ended on SIGHUP (exit %s)" % host.proc.returncode)
            if host.proc.poll() is not None:
                break
            case.expect(got and len(host.entries()) == n, "entries after SIGHUP %d: %d" % (n - 1, len(host.entries())))
            case.expect(time.monotonic() - start <= STOP_BOUND, "the check after SIGHUP took %.1f s" % (time.monotonic() - start))
            time.sleep(0.5)
            case.expect(len(host.entries()) == n, "more than one check for one SIGHUP")
        alive = host.proc.poll() is None
        if alive:
            host.proc.send_signal(signal.SIGTERM)
        rc, seconds, killed = host.end(STOP_BOUND + 10)
    finally:
        host.kill()
    err = host.stderr()
    bad = sanitizer_report(err)
    case.expect(not bad, "sanitizer report: %s" % bad[:3])
    if alive:
        case.expect(rc == 0 and not killed, "exit code %d after SIGTERM (killed: %s)" % (rc, killed))
    ev = host.entries()
    case.note("%d entries" % len(ev))
    case.expect(all(e["type"] == "warning" for e in ev), "entries: %s" % [e["type"] for e in ev])


runs = int(os.environ.get("QW_STOP_RUNS", "20"))
cases = [("stop-%02d-%s" % (i + 1, at.lower()), stop_during_wait(at))
         for i, at in enumerate(["GREETING", "DATA"] * (runs // 2) + ["GREETING"] * (runs % 2))]
cases.append(("sighup-checks-at-once", sighup))
failed = run_cases("stop_posix", cases, work, workers=int(os.environ.get("QW_JOBS", "7")))
sys.exit(1 if failed else 0)
