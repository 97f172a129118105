"""The cases of settings_abuse_posix.sh (see there); the argument is the work folder."""
import os, sys
sys.path.insert(0, os.path.join(os.getcwd(), "tests", "e2e"))
from e2e_lib import *

work = sys.argv[1]
BOUND = 20.0  # seconds; a load never takes long


def lines(*rows):
    return "\r\n".join(rows) + "\r\n"


WARN = lines("[WARNING]", "INTERVAL=24", "[DRIVE]", "C=100%")


def settings_case(data, outcome, key=None, server_args=None, check=None, ran="warning"):
    """`data` (text or bytes, or a function(case, port) that makes the
    settings) as Drivewarden.ini; `outcome` one of "information",
    "warning" (the check ran: exit 0 and that one entry), "error" (exit 1,
    stderr non-empty and holding `key` when given, no entry), or "either"
    (a load error, or a check that ran and wrote the entry `ran`)."""
    def fn(case):
        server = Server(case.dir, server_args or []) if server_args is not None else None
        try:
            content = data(case, server.port if server else None) if callable(data) else data
            if content is not None:
                write_file(case.path("Drivewarden.ini"), content)
            r = once(case, timeout=BOUND + 10)
            if server:
                server.wait_sessions_ended(8)
        finally:
            if server:
                server.stop()
        check_clean(case, r)
        case.expect(r.seconds <= BOUND, "took %.1f s" % r.seconds)
        case.expect(r.rc in (0, 1), "exit code %d (a crash or a signal?) stderr: %s" % (r.rc, r.err.strip()[:200]))
        ev = entries(case.path("events.json"))
        err = r.err.strip()
        case.note("exit %d%s" % (r.rc, (": " + err.splitlines()[0][:100]) if err else ""))
        want = outcome
        if outcome == "either":
            want = "error" if r.rc == 1 else ran
        if want == "error":
            case.expect(r.rc == 1, "exit code %d, expected 1 for settings that do not load" % r.rc)
            case.expect(err != "", "no error on stderr")
            # The failure is also logged, as the service logs a failed start.
            case.expect([e["type"] for e in ev] == ["error"], "entries written: %s" % [e["type"] for e in ev])
            if ev:
                case.expect(ev[0]["text"].startswith("サービス失敗 開始: ") and ev[0]["text"].endswith(err.splitlines()[0]),
                            "the error entry is not the failure on stderr: %r" % ev[0]["text"][:200])
            if key:
                case.expect(key in r.err, "stderr does not name %r: %r" % (key, err[:200]))
        else:
            case.expect(r.rc == 0, "exit code %d, expected 0 (the check ran); stderr %r" % (r.rc, err[:200]))
            case.expect(len(ev) == 1, "%d entries, expected 1" % len(ev))
            if ev and want:
                case.expect(ev[0]["type"] == want, "entry type %s, expected %s" % (ev[0]["type"], want))
            if ev:
                case.expect(ev[0]["type"] in ("information", "warning"), "entry type %s" % ev[0]["type"])
        if server:
            sessions = server.sessions()
            if check:
                check(case, sessions, server)
            elif want == "error":
                case.expect(sessions == [], "the server was contacted: %s" % sessions)
    return fn


def mail_ini(mailfrom="warden@example.jp", mailto="ops@example.com", port_value=None):
    def make(case, port):
        return lines("[WARNING]", "INTERVAL=24", "ISMAILSEND=1", "[DRIVE]", "C=100%", "[MAIL]",
                     "SMTP=127.0.0.1", "PORT=%s" % (port_value if port_value is not None else port),
                     "MAILFROM=" + mailfrom, "MAILTO=" + mailto)
    return make


def envelope(mail_from, rcpts):
    def check(case, sessions, server):
        case.expect(len(sessions) == 1, "%d sessions" % len(sessions))
        if sessions:
            c = sessions[0]["commands"]
            case.expect([x for x in c if x.startswith("MAIL")] == ["MAIL FROM:<%s>" % mail_from],
                        "MAIL command: %s" % [x for x in c if x.startswith("MAIL")])
            case.expect([x for x in c if x.startswith("RCPT")] == ["RCPT TO:<%s>" % a for a in rcpts],
                        "RCPT commands: %s" % [x for x in c if x.startswith("RCPT")])
        case.expect(len(server.messages()) == 1, "not delivered")
    return check


def big_file():
    pad = "".join("; padding line %07d of a settings file far larger than any real one\r\n" % i
                  for i in range(150000))
    return WARN + pad  # about 10.5 MB


def folder(case, port):
    os.makedirs(case.path("Drivewarden.ini"))
    return None


cases = [
    ("missing-file", settings_case(None, "information")),
    ("empty-file", settings_case(b"", "information")),
    ("binary-garbage", settings_case(bytes(range(256)) * 64 + b"\x00\xff\r\n[\x00]\r\n=\r\n", "either", ran=None)),
    ("ten-megabytes", settings_case(big_file(), "either")),
    ("folder-in-place", settings_case(folder, "error")),
    ("utf8-bom", settings_case(b"\xef\xbb\xbf" + WARN.encode(), "warning")),
    ("utf8-bom-section-read", settings_case(b"\xef\xbb\xbf" + lines("[WARNING]", "INTERVAL=abc").encode(),
                                            "error", key="abc")),
    ("utf16le-bom", settings_case(b"\xff\xfe" + WARN.encode("utf-16-le"), "warning")),
    ("utf16le-bom-section-read", settings_case(
        b"\xff\xfe" + lines("[WARNING]", "INTERVAL=abc").encode("utf-16-le"), "error", key="abc")),
    ("utf16le-bom-japanese-comment", settings_case(
        b"\xff\xfe" + lines("; ドライブの監視設定", "[WARNING]", "INTERVAL=24", "[DRIVE]", "C=100%").encode("utf-16-le"),
        "warning")),
]
for value in ["1 MB", "-5%", "-5MB", "abc", "10%%", "99999999999999MB"]:
    cases.append(("threshold " + value, settings_case(lines("[WARNING]", "INTERVAL=24", "[DRIVE]", "C=" + value),
                                                      "error", key="[DRIVE] C=" + value)))
for value in ["0", "-1", "abc", "99999999999"]:
    cases.append(("interval " + value, settings_case(lines("[WARNING]", "INTERVAL=" + value, "[DRIVE]", "C=100%"),
                                                     "error", key="[WARNING] INTERVAL=" + value)))
for value in ["0", "-1", "65536", "abc"]:
    cases.append(("port " + value, settings_case(mail_ini(port_value=value), "error",
                                                 key="[MAIL] PORT=" + value, server_args=[])))
cases += [
    ("angle-brackets", settings_case(mail_ini("<warden@example.jp>", "<ops@example.com>, b@example.com"), "warning",
                                     server_args=[],
                                     check=envelope("warden@example.jp", ["b@example.com", "ops@example.com"]))),
    ("cr-inside-brackets", settings_case(mail_ini(mailto="<ops@exa\rmple.com>"), "error", key="MAILTO",
                                         server_args=[])),
    ("cr-inside-brackets-from", settings_case(mail_ini(mailfrom="<war\rden@example.jp>"), "error", key="MAILFROM",
                                              server_args=[])),
]

only = os.environ.get("QW_CASES", "").split("|") if os.environ.get("QW_CASES") else []
if only:
    cases = [c for c in cases if c[0] in only]
    assert cases, "QW_CASES names no case"
failed = run_cases("settings_abuse_posix", cases, work, workers=int(os.environ.get("QW_JOBS", "6")))
sys.exit(1 if failed else 0)
