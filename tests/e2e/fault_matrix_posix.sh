#!/usr/bin/env bash
# The native one-shot host against the scriptable test SMTP server, one fault
# per case: every case runs in a folder of its own with a server of its own
# on its own port, in parallel. For each it checks the exit code (0: the mail
# reached every recipient, 2: it failed or reached only some), the entries
# (the warning with the report, then exactly one error entry naming the step
# and the server's reply or the reason), the time the check took, what the
# server received (no DATA when every recipient was refused, QUIT where it
# belongs) and that the sanitizers stayed quiet.
#
#   QW_NATIVE_BIN   folder of QuotawardenService and smtp_test_server
#                   (default build/native/bin)
#   QW_CASES        run only the cases whose names are listed (blank separated)
set -euo pipefail
cd "$(dirname "$0")/../.."
bin="${QW_NATIVE_BIN:-build/native/bin}"
for p in QuotawardenService smtp_test_server smtp_send; do
  [ -x "$bin/$p" ] || { echo "fault_matrix_posix: $bin/$p is not built" >&2; exit 1; }
done
work="$(mktemp -d /tmp/qw-e2e-faults.XXXXXX)"
keep="${QW_KEEP_WORK:-}"
trap '[ -n "$keep" ] || rm -rf "$work"' EXIT

/usr/bin/python3 - "$work" <<'PY'
import os, re, sys
sys.path.insert(0, os.path.join(os.getcwd(), "tests", "e2e"))
from e2e_lib import *

work = sys.argv[1]
A, B = "a@example.jp", "b@example.jp"


def mail_case(server_args=(), host_args=(), rc=0, max_s=15.0, min_s=0.0, errors=(), unwanted=(),
              step=None, check=None, no_server=False):
    """A case of the alert mail: `errors` are texts the error entry must
    hold (rc 2), `step` a regular expression its text must match;
    `check(case, commands, notes, server)` adds the case's own checks on
    what the server received."""
    def fn(case):
        server = None
        if no_server:
            port = free_port()
        else:
            server = Server(case.dir, server_args)
            port = server.port
        try:
            write_file(case.path("Drivewarden.ini"), ini_text(port))
            r = once(case, host_args, timeout=max_s + 10)
            if server:
                case.expect(server.wait_sessions_ended(8), "the server's session did not end after the host exited")
        finally:
            if server:
                server.stop()
        check_clean(case, r)
        if "unknown argument" in r.err:
            case.expect(False, "the host does not take its options: " + r.err.strip().splitlines()[0])
            return
        case.note("exit %d" % r.rc)
        first_err = r.err.strip().splitlines()[:1]
        if r.rc != rc:
            case.note("stderr: %s" % (first_err[0][:120] if first_err else "(empty)"))
        want_rc = rc
        if rc is None:  # either outcome, told truthfully
            want_rc = r.rc if r.rc in (0, 2) else 2
        case.expect(r.rc == want_rc, "exit code %d, expected %s (stderr: %s)" % (r.rc, rc, first_err))
        case.expect(min_s <= r.seconds <= max_s, "took %.1f s, expected %.1f..%.1f s" % (r.seconds, min_s, max_s))
        ev = entries(case.path("events.json"))
        case.expect(ev and ev[0]["type"] == "warning" and ev[0]["source"] == "Drivewarden" and ev[0]["id"] == 5610,
                    "the first entry is not the check's warning: %s" % [e.get("type") for e in ev])
        errs = [e for e in ev if e["type"] == "error"]
        if want_rc == 0:
            case.expect(len(ev) == 1, "entries besides the warning: %s" % [(e["type"], e["text"][:80]) for e in ev[1:]])
        else:
            case.expect(len(ev) == 2 and len(errs) == 1,
                        "expected the warning and one error entry, got %s" % [(e["type"], e["text"][:40] + "...") for e in ev])
            case.expect(r.err.strip() != "", "exit %d with nothing on stderr" % r.rc)
        if errs and want_rc != 0:
            e = errs[0]
            text = e["text"]
            case.note("error: " + text.replace("\r\n", " | ")[:160])
            case.expect(e["source"] == "Drivewarden", "error entry source %r" % e["source"])
            for want in errors:
                case.expect(want in text, "error entry lacks %r: %r" % (want, text[:300]))
            for bad in unwanted:
                case.expect(bad not in text, "error entry has %r: %r" % (bad, text[:300]))
            if step:
                case.expect(re.search(step, text), "error entry does not match %r: %r" % (step, text[:300]))
        if server:
            sessions = server.sessions()
            case.expect(len(sessions) == 1, "%d sessions at the server, expected 1" % len(sessions))
            commands = sessions[0]["commands"] if sessions else []
            notes = sessions[0]["notes"] if sessions else []
            verbs = [c.split(" ")[0].split(":")[0].upper() for c in commands]
            delivered = len(server.messages())
            if want_rc == 0:
                case.expect(delivered == 1, "%d messages stored, expected 1" % delivered)
                case.expect(verbs[:1] == ["EHLO"], "the first command is not EHLO: %s" % commands[:1])
            if check:
                check(case, commands, verbs, notes, server)
    return fn


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


T2 = ("--mail-timeout=2",)
SILENT_MAX = 6.0
cases = [
    # Delivered: the ordinary conversation, and replies a client must read
    # whole however they arrive.
    ("ok", mail_case(check=full_transaction)),
    ("split-every-byte", mail_case(
        ["--at", "GREETING=bytes=20:220 split at every byte",
         "--at", r"EHLO=bytes=20:250-first\n250 last",
         "--at", "RCPT=bytes=20:250 2.1.5 ok",
         "--at", "DOT=bytes=20:250 2.0.0 queued"], check=full_transaction)),
    ("pieces-with-delays", mail_case(
        ["--at", r"GREETING=chunks=4/400:220-mx.example.jp\n220 ready",
         "--at", "MAIL=chunks=5/700:250 2.1.0 sender ok",
         "--at", "DATA=delay=1500:354 go ahead"], T2, min_s=2.0, check=full_transaction)),
    ("multi-line-replies", mail_case(
        ["--at", r"GREETING=:220-mx.example.jp ESMTP\n220-second line\n220 last",
         "--at", r"EHLO=:250-mx.example.jp\n250-SIZE 10240000\n250-PIPELINING\n250 8BITMIME",
         "--at", r"DOT=:250-2.0.0 queued\n250 as 1234"], check=full_transaction)),
    ("ehlo-502-helo", mail_case(
        ["--at", "EHLO=:502 5.5.2 command not implemented"],
        check=lambda case, c, v, n, s: (case.expect(v[:2] == ["EHLO", "HELO"], "not EHLO then HELO: %s" % c[:3]),
                                        full_transaction(case, c, v, n, s)))),
    ("ehlo-500-helo", mail_case(
        ["--at", "EHLO=:500 5.5.1 unrecognised command"],
        check=lambda case, c, v, n, s: case.expect(v[:2] == ["EHLO", "HELO"], "not EHLO then HELO: %s" % c[:3]))),
    ("quit-unanswered", mail_case(["--at", "QUIT=silent:"], max_s=12.0, check=full_transaction)),

    # Refused: the step by its SMTP word and the reply line verbatim.
    ("connect-refused", mail_case(no_server=True, rc=2, max_s=10.0, step=r"CONNECT 127\.0\.0\.1:\d+: \S")),
    ("greeting-421-close", mail_case(
        ["--at", "GREETING=close:421 4.3.2 service not available"], rc=2,
        errors=["GREETING: 421 4.3.2 service not available"],
        check=lambda case, c, v, n, s: case.expect(not [x for x in v if x != "QUIT"], "commands after a 421: %s" % c))),
    ("greeting-554", mail_case(
        ["--at", "GREETING=:554 5.3.2 no service here"], rc=2, errors=["GREETING: 554 5.3.2 no service here"],
        check=lambda case, c, v, n, s: case.expect(v == ["QUIT"], "commands after a 554 greeting: %s" % c))),
    ("ehlo-550-no-helo", mail_case(
        ["--at", "EHLO=:550 5.7.1 not you"], rc=2, errors=["EHLO: 550 5.7.1 not you"],
        check=lambda case, c, v, n, s: (case.expect("HELO" not in v, "HELO after a 550 to EHLO: %s" % c),
                                        quit_last(case, c, v, n, s)))),
    ("mail-550", mail_case(
        ["--at", "MAIL=:550 5.7.1 sender rejected"], rc=2, errors=["MAIL: 550 5.7.1 sender rejected"],
        check=lambda case, c, v, n, s: (case.expect("RCPT" not in v, "RCPT after a refused MAIL: %s" % c),
                                        quit_last(case, c, v, n, s)))),
    ("mail-451", mail_case(
        ["--at", "MAIL=:451 4.3.0 try again later"], rc=2, errors=["MAIL: 451 4.3.0 try again later"],
        check=quit_last)),
    ("rcpt-second-550", mail_case(
        ["--at", "RCPT#2=:550 5.1.1 no such user"], rc=2,
        errors=["RCPT <%s>: 550 5.1.1 no such user" % B], unwanted=["RCPT <%s>" % A],
        check=lambda case, c, v, n, s: (full_transaction(case, c, v, n, s),
                                        case.expect(len(s.messages()) == 1, "not delivered to the accepted one")))),
    ("rcpt-first-450", mail_case(
        ["--at", "RCPT#1=:450 4.2.1 mailbox busy"], rc=2,
        errors=["RCPT <%s>: 450 4.2.1 mailbox busy" % A], unwanted=["RCPT <%s>" % B],
        check=lambda case, c, v, n, s: (full_transaction(case, c, v, n, s),
                                        case.expect(len(s.messages()) == 1, "not delivered to the accepted one")))),
    ("rcpt-all-550", mail_case(
        ["--at", "RCPT=:550 5.1.1 no such user"], rc=2,
        errors=["RCPT <%s>: 550 5.1.1 no such user" % A, "RCPT <%s>: 550 5.1.1 no such user" % B],
        check=both(no_data, quit_last))),
    ("data-554", mail_case(
        ["--at", "DATA=:554 5.3.4 no thanks"], rc=2, errors=["DATA: 554 5.3.4 no thanks"],
        check=lambda case, c, v, n, s: (case.expect("." not in c, "a message text after a refused DATA"),
                                        quit_last(case, c, v, n, s)))),
    ("dot-552", mail_case(
        ["--at", "DOT=:552 5.3.4 message too big"], rc=2, errors=[".: 552 5.3.4 message too big"],
        check=quit_last)),
    ("rcpt-421-close", mail_case(
        ["--at", "RCPT=close:421 4.4.2 closing connection"], rc=2,
        errors=["RCPT <%s>: 421 4.4.2 closing connection" % A], check=no_data)),
    ("garbage-reply", mail_case(
        ["--at", "MAIL=:hello, this is not SMTP"], rc=2, errors=["MAIL: hello, this is not SMTP"], check=no_data)),
    ("garbage-bytes-greeting", mail_case(
        ["--at", r"GREETING=raw:\x00\xff\xfe\x01 garbage \x80\r\n"], T2, rc=2, max_s=SILENT_MAX, step=r"GREETING: ")),

    # Silent: the silence time-out, at each step.
    ("greeting-silent", mail_case(["--at", "GREETING=silent:"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
                                  errors=["GREETING: time-out after 2 s"])),
    ("ehlo-silent", mail_case(["--at", "EHLO=silent:"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
                              errors=["EHLO: time-out after 2 s"])),
    ("rcpt-silent", mail_case(["--at", "RCPT#2=silent:"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
                              errors=["RCPT <%s>: time-out after 2 s" % B])),
    ("data-silent", mail_case(["--at", "DATA=silent:"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
                              errors=["DATA: time-out after 2 s"],
                              check=lambda case, c, v, n, s: case.expect("." not in c, "a text without 354"))),
    ("dot-silent", mail_case(["--at", "DOT=silent:"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
                             errors=[".: time-out after 2 s"], check=stopped_after("."))),

    # Closed or reset in the middle.
    ("greeting-closed", mail_case(["--at", "GREETING=close:"], T2, rc=2, max_s=SILENT_MAX, step=r"GREETING: \S")),
    ("rcpt-closed", mail_case(["--at", "RCPT=close:"], T2, rc=2, max_s=SILENT_MAX, step=r"RCPT <%s>: \S" % A,
                              check=no_data)),
    ("data-reset", mail_case(["--at", "DATA=reset:"], T2, rc=2, max_s=SILENT_MAX, step=r"DATA: \S")),

    # Line ends and sizes.
    # Bare LF line ends: read as line ends or not, the outcome is told.
    ("bare-lf-replies", mail_case(
        ["--at", r"GREETING=raw:220 bare line feed\n", "--at", r"EHLO=raw:250-a\n250 b\n"], T2, rc=None,
        max_s=SILENT_MAX, step=r"GREETING: ")),
    ("reply-line-1mb", mail_case(
        ["--at", "EHLO=pad=1048576:250 "], ("--mail-timeout=30",), rc=2, max_s=5.0, step=r"EHLO: ")),
    ("greeting-line-1mb-no-end", mail_case(
        ["--at", "GREETING=raw,pad=1048576:220 "], ("--mail-timeout=30",), rc=2, max_s=5.0, step=r"GREETING: ")),

    # The deadline of the whole conversation.
    ("trickle-deadline", mail_case(
        ["--at", "GREETING=bytes=1000:220 a greeting that trickles in one byte a second"],
        ("--mail-timeout=10", "--mail-deadline=3"), rc=2, min_s=2.5, max_s=SILENT_MAX,
        step=r"GREETING: time-out after 3 s")),
    ("trickle-deadline-ehlo", mail_case(
        ["--at", r"EHLO=bytes=1000:250-slow\n250 slower still"],
        ("--mail-timeout=10", "--mail-deadline=3"), rc=2, min_s=2.5, max_s=SILENT_MAX,
        step=r"EHLO: time-out after 3 s")),

    # A peer that reads nothing more: what the client sends stays unread.
    ("noread-after-greeting", mail_case(
        ["--at", "GREETING=noread:220 and then deaf"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
        errors=["EHLO: time-out after 2 s"], check=unread)),
    ("noread-at-data", mail_case(
        ["--at", "DATA=noread:354 go ahead, nobody reads"], T2, rc=2, min_s=1.5, max_s=SILENT_MAX,
        step=r"(DATA|\.): time-out after 2 s", check=unread)),
]


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
        r = run([SMTP_SEND, "--host", "127.0.0.1", "--port", str(server.port), "--from", "warden@example.jp",
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


cases.append(("send-blocks-bounded", send_blocked))

only = os.environ.get("QW_CASES", "").split()
if only:
    cases = [c for c in cases if c[0] in only]
    assert cases, "QW_CASES names no case"
failed = run_cases("fault_matrix_posix", cases, work, workers=int(os.environ.get("QW_JOBS", "8")))
sys.exit(1 if failed else 0)
PY
