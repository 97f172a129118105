"""The mail fault matrix: one fault per case, run on either host through a
small adapter.

    fault_matrix.py posix WORK        the native one-shot host, every case in
                                      parallel, each with a server and folder
                                      of its own
    fault_matrix.py wine WORK PREFIX  the installed service under Wine's
                                      Service Control Manager, the cases
                                      marked for Wine one after the other
                                      (the service is installed already)

A case scripts the test SMTP server (its --at options) and states what a
person must be told: delivered (one warning entry, the mail stored) or not
(the warning, then exactly one error entry naming the step and the server's
reply or the reason). On POSIX also the exit code (0 or 2, with the reason
on stderr), the time the check took, and that the sanitizers stayed quiet.
What the server received (no DATA when every recipient was refused, QUIT
where it belongs) is checked on both hosts.

QW_CASES runs only the cases named (blank separated); QW_JOBS sets the
POSIX run's parallel cases (default 8)."""

import os
import re
import sys
import time

import e2e_lib
from e2e_lib import CaseFailure, Server, check_clean, entries, free_port, ini_text, once, run, run_cases, write_file

A, B = "a@example.jp", "b@example.jp"


# ---------------------------------------------------------------------------
# The table

class FaultCase:
    """One case. `rc` 0: delivered, 2: not, None: either, told truthfully.
    `errors` are texts the error entry must hold, `unwanted` texts it must
    not, `step` a regular expression it must match. `host_args` are the
    POSIX host's options (the Wine service takes its 60 s silence time-out;
    a case whose outcome needs other time-outs runs on POSIX alone), `min_s`
    and `max_s` bound the POSIX check's time. `check(case, commands, verbs,
    notes, server)` adds checks on what the server received."""

    def __init__(self, server_args=(), host_args=(), rc=0, max_s=15.0, min_s=0.0, errors=(), unwanted=(),
                 step=None, check=None, no_server=False, wine=False):
        self.server_args = list(server_args)
        self.host_args = list(host_args)
        self.rc, self.max_s, self.min_s = rc, max_s, min_s
        self.errors, self.unwanted, self.step = errors, unwanted, step
        self.check, self.no_server, self.wine = check, no_server, wine


def quit_last(case, commands, verbs, notes, server):
    case.expect(verbs[-1:] == ["QUIT"], "QUIT is not the last command: %s" % commands[-3:])


def no_data(case, commands, verbs, notes, server):
    case.expect("DATA" not in verbs, "DATA sent: %s" % commands)


def both(*checks):
    def fn(*args):
        for c in checks:
            c(*args)
    return fn


def full_transaction(case, commands, verbs, notes, server):
    rcpts = [c for c in commands if c.upper().startswith("RCPT")]
    case.expect(rcpts == ["RCPT TO:<%s>" % A, "RCPT TO:<%s>" % B], "recipients sent: %s" % rcpts)
    case.expect("DATA" in verbs and "." in commands, "no message text: %s" % commands)
    quit_last(case, commands, verbs, notes, server)


def unread(case, commands, verbs, notes, server):
    n = [int(m.group(1)) for m in (re.match(r"unread (\d+) bytes", x) for x in notes) if m]
    case.expect(n and n[0] > 0, "the server's unread bytes: %s" % notes)


def stopped_after(verb):
    def fn(case, commands, verbs, notes, server):
        case.expect(verbs[-1:] == [verb], "the last command is not %s: %s" % (verb, commands[-3:]))
    return fn


def helo_after(case, commands, verbs, notes, server):
    case.expect(verbs[:2] == ["EHLO", "HELO"], "not EHLO then HELO: %s" % commands[:3])


def accepted_one_delivered(case, commands, verbs, notes, server):
    case.expect(len(server.messages()) == 1, "not delivered to the accepted one")


T2 = ("--mail-timeout=2",)
SILENT_MAX = 6.0
CASES = [
    # Delivered: the ordinary conversation, and replies a client must read
    # whole however they arrive.
    ("ok", FaultCase(check=full_transaction, wine=True)),
    ("split-every-byte", FaultCase(
        ["--at", "GREETING=bytes=20:220 split at every byte",
         "--at", r"EHLO=bytes=20:250-first\n250 last",
         "--at", "RCPT=bytes=20:250 2.1.5 ok",
         "--at", "DOT=bytes=20:250 2.0.0 queued"], check=full_transaction, wine=True)),
    ("pieces-with-delays", FaultCase(
        ["--at", r"GREETING=chunks=4/400:220-mx.example.jp\n220 ready",
         "--at", "MAIL=chunks=5/700:250 2.1.0 sender ok",
         "--at", "DATA=delay=1500:354 go ahead"], T2, min_s=2.0, check=full_transaction)),
    ("multi-line-replies", FaultCase(
        ["--at", r"GREETING=:220-mx.example.jp ESMTP\n220-second line\n220 last",
         "--at", r"EHLO=:250-mx.example.jp\n250-SIZE 10240000\n250-PIPELINING\n250 8BITMIME",
         "--at", r"DOT=:250-2.0.0 queued\n250 as 1234"], check=full_transaction, wine=True)),
    ("ehlo-502-helo", FaultCase(["--at", "EHLO=:502 5.5.2 command not implemented"],
                           check=both(helo_after, full_transaction), wine=True)),
    ("ehlo-500-helo", FaultCase(["--at", "EHLO=:500 5.5.1 unrecognised command"], check=helo_after)),
    ("quit-unanswered", FaultCase(["--at", "QUIT=silent:"], max_s=12.0, check=full_transaction)),

    # Refused: the step by its SMTP word and the reply line verbatim.
    ("connect-refused", FaultCase(no_server=True, rc=2, max_s=10.0, step=r"CONNECT 127\.0\.0\.1:\d+: \S", wine=True)),
    ("greeting-421-close", FaultCase(
        ["--at", "GREETING=close:421 4.3.2 service not available"], rc=2,
        errors=["GREETING: 421 4.3.2 service not available"], wine=True,
        check=lambda case, c, v, n, s: case.expect(not [x for x in v if x != "QUIT"], "commands after a 421: %s" % c))),
    ("greeting-554", FaultCase(
        ["--at", "GREETING=:554 5.3.2 no service here"], rc=2, errors=["GREETING: 554 5.3.2 no service here"],
        check=lambda case, c, v, n, s: case.expect(v == ["QUIT"], "commands after a 554 greeting: %s" % c))),
    ("ehlo-550-no-helo", FaultCase(
        ["--at", "EHLO=:550 5.7.1 not you"], rc=2, errors=["EHLO: 550 5.7.1 not you"],
        check=both(lambda case, c, v, n, s: case.expect("HELO" not in v, "HELO after a 550 to EHLO: %s" % c),
                   quit_last))),
    ("mail-550", FaultCase(
        ["--at", "MAIL=:550 5.7.1 sender rejected"], rc=2, errors=["MAIL: 550 5.7.1 sender rejected"], wine=True,
        check=both(lambda case, c, v, n, s: case.expect("RCPT" not in v, "RCPT after a refused MAIL: %s" % c),
                   no_data, quit_last))),
    ("mail-451", FaultCase(
        ["--at", "MAIL=:451 4.3.0 try again later"], rc=2, errors=["MAIL: 451 4.3.0 try again later"],
        check=quit_last)),
    ("rcpt-second-550", FaultCase(
        ["--at", "RCPT#2=:550 5.1.1 no such user"], rc=2, wine=True,
        errors=["RCPT <%s>: 550 5.1.1 no such user" % B], unwanted=["RCPT <%s>" % A],
        check=both(full_transaction, accepted_one_delivered))),
    ("rcpt-first-450", FaultCase(
        ["--at", "RCPT#1=:450 4.2.1 mailbox busy"], rc=2,
        errors=["RCPT <%s>: 450 4.2.1 mailbox busy" % A], unwanted=["RCPT <%s>" % B],
        check=both(full_transaction, accepted_one_delivered))),
    ("rcpt-all-550", FaultCase(
        ["--at", "RCPT=:550 5.1.1 no such user"], rc=2, wine=True,
        errors=["RCPT <%s>: 550 5.1.1 no such user" % A, "RCPT <%s>: 550 5.1.1 no such user" % B],
        check=both(no_data, quit_last))),
    ("data-554", FaultCase(
        ["--at", "DATA=:554 5.3.4 no thanks"], rc=2, errors=["DATA: 554 5.3.4 no thanks"], wine=True,
        check=both(lambda case, c, v, n, s: case.expect("." not in c, "a message text after a refused DATA"),
                   quit_last))),
    ("dot-552", FaultCase(
        ["--at", "DOT=:552 5.3.4 message too big"], rc=2, errors=[".: 552 5.3.4 message too big"], wine=True,
        check=quit_last)),
    ("rcpt-421-close", FaultCase(
        ["--at", "RCPT=close:421 4.4.2 closing connection"], rc=2,
        errors=["RCPT <%s>: 421 4.4.2 closing connection" % A], check=no_data)),
    ("garbage-reply", FaultCase(
        ["--at", "MAIL=:hello, this is not SMTP"], rc=2, errors=["MAIL: hello, this is not SMTP"], check=no_data)),
    ("garbage-bytes-greeting", FaultCase(
        ["--at", r"GREETING=raw:\x00\xff\xfe\x01 garbage \x80\r\n"], T2, rc=2, max_s=SILENT_MAX, step=r"GREETING: ")),

    # Silent: the silence time-out, at each step.
    ("greeting-silent", FaultCase(["--at", "GREETING=silent:"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
                             errors=["GREETING: time-out after 2 s"])),
    ("ehlo-silent", FaultCase(["--at", "EHLO=silent:"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
                         errors=["EHLO: time-out after 2 s"])),
    ("rcpt-silent", FaultCase(["--at", "RCPT#2=silent:"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
                         errors=["RCPT <%s>: time-out after 2 s" % B])),
    ("data-silent", FaultCase(["--at", "DATA=silent:"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
                         errors=["DATA: time-out after 2 s"],
                         check=lambda case, c, v, n, s: case.expect("." not in c, "a text without 354"))),
    ("dot-silent", FaultCase(["--at", "DOT=silent:"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
                        errors=[".: time-out after 2 s"], check=stopped_after("."))),

    # Closed or reset in the middle.
    ("greeting-closed", FaultCase(["--at", "GREETING=close:"], T2, rc=2, max_s=SILENT_MAX, step=r"GREETING: \S")),
    ("rcpt-closed", FaultCase(["--at", "RCPT=close:"], T2, rc=2, max_s=SILENT_MAX, step=r"RCPT <%s>: \S" % A,
                         check=no_data)),
    ("data-reset", FaultCase(["--at", "DATA=reset:"], T2, rc=2, max_s=SILENT_MAX, step=r"DATA: \S")),

    # Line ends and sizes.
    # Bare LF line ends: read as line ends or not, the outcome is told.
    ("bare-lf-replies", FaultCase(
        ["--at", r"GREETING=raw:220 bare line feed\n", "--at", r"EHLO=raw:250-a\n250 b\n"], T2, rc=None,
        max_s=SILENT_MAX, step=r"GREETING: ")),
    ("reply-line-1mb", FaultCase(
        ["--at", "EHLO=pad=1048576:250 "], ("--mail-timeout=30",), rc=2, max_s=5.0, step=r"EHLO: ", wine=True)),
    ("greeting-line-1mb-no-end", FaultCase(
        ["--at", "GREETING=raw,pad=1048576:220 "], ("--mail-timeout=30",), rc=2, max_s=5.0, step=r"GREETING: ")),

    # The deadline of the whole conversation.
    ("trickle-deadline", FaultCase(
        ["--at", "GREETING=bytes=1000:220 a greeting that trickles in one byte a second"],
        ("--mail-timeout=10", "--mail-deadline=3"), rc=2, min_s=2.5, max_s=SILENT_MAX,
        step=r"GREETING: time-out after 3 s")),
    ("trickle-deadline-ehlo", FaultCase(
        ["--at", r"EHLO=bytes=1000:250-slow\n250 slower still"],
        ("--mail-timeout=10", "--mail-deadline=3"), rc=2, min_s=2.5, max_s=SILENT_MAX,
        step=r"EHLO: time-out after 3 s")),

    # A peer that reads nothing more: what the client sends stays unread.
    ("noread-after-greeting", FaultCase(
        ["--at", "GREETING=noread:220 and then deaf"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
        errors=["EHLO: time-out after 2 s"], check=unread)),
    ("noread-at-data", FaultCase(
        ["--at", "DATA=noread:354 go ahead, nobody reads"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
        step=r"(DATA|\.): time-out after 2 s", check=unread)),
]


# ---------------------------------------------------------------------------
# What both hosts are held to

class Outcome:
    """What a host did with one case: its entries, and on POSIX its exit
    code, stderr and time (None where the host has none)."""

    def __init__(self, events, rc=None, err=None, seconds=None):
        self.events, self.rc, self.err, self.seconds = events, rc, err, seconds


def check_outcome(case, spec, out, server):
    want_rc = spec.rc
    if out.rc is not None:
        case.note("exit %d" % out.rc)
        first_err = out.err.strip().splitlines()[:1]
        if want_rc is None:  # either outcome, told truthfully
            want_rc = out.rc if out.rc in (0, 2) else 2
        case.expect(out.rc == want_rc, "exit code %d, expected %s (stderr: %s)" % (out.rc, spec.rc, first_err))
        if want_rc != 0:
            case.expect(out.err.strip() != "", "exit %d with nothing on stderr" % out.rc)
    elif want_rc is None:
        want_rc = 0 if not any(e["type"] == "error" for e in out.events) else 2
    if out.seconds is not None:
        case.expect(spec.min_s <= out.seconds <= spec.max_s,
                    "took %.1f s, expected %.1f..%.1f s" % (out.seconds, spec.min_s, spec.max_s))
    ev = out.events
    case.expect(ev and ev[0]["type"] == "warning" and ev[0]["source"] == "Drivewarden" and ev[0]["id"] == 5610,
                "the first entry is not the check's warning: %s" % [(e.get("source"), e.get("type")) for e in ev])
    errs = [e for e in ev if e["type"] == "error"]
    if want_rc == 0:
        case.expect(len(ev) == 1, "entries besides the warning: %s" % [(e["type"], e["text"][:80]) for e in ev[1:]])
    else:
        case.expect(len(ev) == 2 and len(errs) == 1,
                    "expected the warning and one error entry, got %s" % [(e["type"], e["text"][:40] + "...") for e in ev])
    if errs and want_rc != 0:
        text = errs[0]["text"]
        case.note("error: " + text.replace("\r\n", " | ")[:160])
        case.expect(errs[0]["source"] == "Drivewarden", "error entry source %r" % errs[0]["source"])
        for want in spec.errors:
            case.expect(want in text, "error entry lacks %r: %r" % (want, text[:300]))
        for bad in spec.unwanted:
            case.expect(bad not in text, "error entry has %r: %r" % (bad, text[:300]))
        if spec.step:
            case.expect(re.search(spec.step, text), "error entry does not match %r: %r" % (spec.step, text[:300]))
    if server:
        sessions = server.sessions()
        case.expect(len(sessions) == 1, "%d sessions at the server, expected 1" % len(sessions))
        commands = sessions[0]["commands"] if sessions else []
        notes = sessions[0]["notes"] if sessions else []
        verbs = [c.split(" ")[0].split(":")[0].upper() for c in commands]
        if want_rc == 0:
            case.expect(len(server.messages()) == 1, "%d messages stored, expected 1" % len(server.messages()))
            case.expect(verbs[:1] == ["EHLO"], "the first command is not EHLO: %s" % commands[:1])
        if spec.check:
            spec.check(case, commands, verbs, notes, server)


# ---------------------------------------------------------------------------
# POSIX: the one-shot host, the cases in parallel

def posix_case(spec):
    def fn(case):
        server = None
        if spec.no_server:
            port = free_port()
        else:
            server = Server(case.dir, spec.server_args)
            port = server.port
        try:
            write_file(case.path("Drivewarden.ini"), ini_text(port))
            r = once(case, spec.host_args, timeout=spec.max_s + 10)
            if server:
                case.expect(server.wait_sessions_ended(8), "the server's session did not end after the host exited")
        finally:
            if server:
                server.stop()
        check_clean(case, r)
        if "unknown argument" in r.err:
            raise CaseFailure("the host does not take its options: " + r.err.strip().splitlines()[0])
        check_outcome(case, spec, Outcome(entries(case.path("events.json")), r.rc, r.err, r.seconds), server)
    return fn


def send_blocked(case):
    """The client's send blocks on a text far larger than the socket
    buffers, to a peer that reads nothing after 354: smtp_send (the same
    client) ends within its time-out, and the server saw bytes unread."""
    server = Server(case.dir, ["--at", "DATA=noread:354 send, nobody reads"])
    try:
        body = case.path("body.txt")
        with open(body, "wb") as f:
            line = b"x" * 998 + b"\r\n"
            f.write(line * (48 * 1024))  # 48 MB
        r = run([e2e_lib.SMTP_SEND, "--host", "127.0.0.1", "--port", str(server.port), "--from", "warden@example.jp",
                 "--to", A, "--body-file", body, "--timeout", "2"], case, name="smtp_send", timeout=40)
        os.remove(body)
    finally:
        # The client's close waits behind its unsent bytes (the window is
        # shut), so the server cannot see it: stopping the server ends the
        # session and counts what was left unread.
        server.stop()
    check_clean(case, r, "smtp_send")
    case.note("exit %d after %.1f s" % (r.rc, r.seconds))
    case.expect(r.rc == 1, "smtp_send exit %d, expected 1 (stderr %s)" % (r.rc, r.err.strip()[:200]))
    case.expect(r.seconds <= 10.0, "the blocked send took %.1f s with a 2 s time-out" % r.seconds)
    unread(case, [], [], server.sessions()[0]["notes"] if server.sessions() else [], server)


def run_posix(work):
    cases = [(name, posix_case(spec)) for name, spec in CASES]
    cases.append(("send-blocks-bounded", send_blocked))
    cases = only(cases)
    return run_cases("fault_matrix_posix", cases, work, workers=int(os.environ.get("QW_JOBS", "8")))


# ---------------------------------------------------------------------------
# Wine: the installed service, one case after the other

STOP_BOUND = 5.0


class WineHost:
    def __init__(self, work, prefix):
        from wine_service import WineService
        self.svc = WineService(work)
        self.events = os.path.join(work, "events.json")
        self.ini = os.path.join(prefix, "drive_c", "windows", "Drivewarden.ini")

    def fresh(self, case, text):
        self.svc.ensure_stopped(case)
        if os.path.exists(self.events):
            os.remove(self.events)
        write_file(self.ini, text)

    def mail_case(self, spec):
        from wine_service import wait_until

        def fn(case):
            server = None if spec.no_server else Server(case.dir, spec.server_args)
            port = free_port() if spec.no_server else server.port
            try:
                self.fresh(case, ini_text(port))
                self.svc.start(case)
                # The check's outcome: the mail at the server, or the error
                # entry; when neither comes, what there is after the
                # conversation ended.
                def settled():
                    if any(e["type"] == "error" for e in entries(self.events)):
                        return True
                    return bool(server and server.sessions() and server.wait_sessions_ended(0))
                wait_until(settled, 20 if spec.no_server else 75)
                self.svc.stop()
                case.expect(self.svc.wait_state("STOPPED", 30), "not STOPPED after sc stop (state %s)" % self.svc.state())
                # The stop waits for the check: whatever it wrote after the
                # conversation is in the file by now.
                ev = entries(self.events)
            finally:
                if server:
                    server.stop()
            check_outcome(case, spec, Outcome(ev), server)
        return fn

    def control_128(self, case):
        from wine_service import wait_until
        svc = self.svc
        self.fresh(case, ini_text(mail=False))
        svc.start(case)
        case.expect(svc.wait_state("RUNNING", 60), "never RUNNING (state %s)" % svc.state())
        case.expect(wait_until(lambda: len(entries(self.events)) >= 1, 30), "no first check entry")
        for n in (2, 3):
            rc, out = svc.wine("sc", "control", "Drivewarden", "128", name="control", timeout=30)
            if rc != 0:  # Wine's sc.exe knows no "control"
                if n == 2:
                    case.note("wine sc control: exit %d, sent by sc_control.exe" % rc)
                rc, out = svc.wine(r"C:\Quotawarden\sc_control.exe", "Drivewarden", "128", name="control", timeout=30)
                case.expect(rc == 0, "sc_control Drivewarden 128: exit %d %r" % (rc, out.strip()[-200:]))
            case.expect(wait_until(lambda: len(entries(self.events)) >= n, 10),
                        "no check after sc control 128 (%s): %s" % (n - 1, out.strip().splitlines()[-1:]))
        time.sleep(1)
        ev = entries(self.events)
        case.expect(len(ev) == 3 and all(e["type"] == "warning" for e in ev), "entries: %s" % [e["type"] for e in ev])
        case.expect(svc.state() == "RUNNING", "not RUNNING after the controls (state %s)" % svc.state())
        svc.stop()
        # No mail wait here to cancel: the bound is that of a plain stop of a
        # busy machine's Wine, not the few seconds of the stop cases below.
        case.expect(svc.wait_state("STOPPED", 60), "not STOPPED within 60 s of sc stop (state %s)" % svc.state())

    def stop_in_mail_wait(self, case):
        from wine_service import wait_until
        svc = self.svc
        server = Server(case.dir, ["--at", "GREETING=silent:"])
        try:
            self.fresh(case, ini_text(server.port))
            svc.start(case)
            if not wait_until(lambda: "# silent after GREETING" in server.log_lines(), 60):
                raise CaseFailure("the first check never reached the silent greeting")
            start = time.monotonic()
            rc, out = svc.stop()
            stopped = svc.wait_state("STOPPED", STOP_BOUND)
            seconds = time.monotonic() - start
            case.note("STOPPED after %.1f s" % seconds if stopped else "not STOPPED within %.0f s" % STOP_BOUND)
            case.expect(stopped, "not STOPPED within %.0f s of sc stop (sc stop: exit %d %r, state %s)"
                        % (STOP_BOUND, rc, " ".join(out.split())[-160:], svc.state()))
            if not stopped:
                svc.ensure_stopped(case)
            # Stopped is reported once the check has written its entries.
            ev = entries(self.events)
        finally:
            server.stop()
        case.expect(ev[:1] and ev[0]["type"] == "warning", "the first entry is not the warning: %s" % [e["type"] for e in ev])
        errs = [e for e in ev if e["type"] == "error"]
        case.expect(len(errs) == 1 and "cancelled by stop" in errs[0]["text"],
                    "not one error entry with 'cancelled by stop': %s" % [(e["type"], e["text"][:100]) for e in ev[1:]])


def run_wine(work, prefix):
    host = WineHost(work, prefix)
    cases = [(name, host.mail_case(spec)) for name, spec in CASES if spec.wine]
    cases.append(("control-128-checks-at-once", host.control_128))
    for i in range(5):
        cases.append(("stop-in-mail-wait-%d" % (i + 1), host.stop_in_mail_wait))
    # One service: the cases run one after the other.
    return run_cases("fault_matrix_wine", only(cases), work, workers=1)


def only(cases):
    names = os.environ.get("QW_CASES", "").split()
    if not names:
        return cases
    picked = [c for c in cases if c[0] in names]
    if not picked:
        raise SystemExit("QW_CASES names no case of this host")
    return picked


if __name__ == "__main__":
    host = sys.argv[1]
    if host == "posix":
        failed = run_posix(sys.argv[2])
    elif host == "wine":
        failed = run_wine(sys.argv[2], sys.argv[3])
    else:
        raise SystemExit("fault_matrix.py: host is posix or wine")
    sys.exit(1 if failed else 0)
