#!/usr/bin/env bash
# Part of the mail fault matrix against the installed Windows service under
# Wine's Service Control Manager: one prefix, the service installed once,
# then for each case Drivewarden.ini in the prefix's Windows folder, a test
# SMTP server of its own scripted for the fault, sc start, the entries (the
# warning, then exactly one error entry naming the step and the reply, or
# none and the mail delivered), sc stop. Then `sc control Drivewarden 128`
# runs a check at once, and `sc stop` during the first check's mail wait (a
# silent server) stops the service within 5 s, five times in a row.
#
# Wine keeps no event log: the service writes its entries to the file named
# by QUOTAWARDEN_EVENTLOG, which services get from the registry, read when
# services.exe starts. Every wine command writes to files, never to a pipe
# (Wine's system processes inherit the handles of the command that starts
# them). The service's silence time-out is 60 s here, so there are no
# silence cases besides the stop ones.
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$(pwd)"
exe_built="${QW_WIN64_BIN:-build/win64/bin}/QuotawardenService.exe"
native_bin="${QW_NATIVE_BIN:-build/native/bin}"
[ -f "$exe_built" ] || { echo "fault_matrix_wine: $exe_built is not built" >&2; exit 1; }
[ -x "$native_bin/smtp_test_server" ] || { echo "fault_matrix_wine: $native_bin/smtp_test_server is not built" >&2; exit 1; }
work="$root/build/e2e-faults-wine"
rm -rf "$work"
mkdir -p "$work"
source scripts/lib/wine.sh

exe='C:\Quotawarden\QuotawardenService.exe'
cleanup() {
  timeout 60 wine sc stop Drivewarden >"$work/cleanup-stop.txt" 2>&1 </dev/null || true
  sleep 1
  timeout 60 wine "$exe" /UNINSTALL /SILENT >"$work/cleanup-uninstall.txt" 2>&1 </dev/null || true
  qw_wine_stop
  [ -n "${QW_KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "fault_matrix_wine: $*" >&2; for f in "$work"/*.txt; do [ -f "$f" ] && { echo "== $f"; cat "$f"; } >&2; done; exit 1; }

qw_wine_prefix "$work/prefix"  # waits for the first boot of the new prefix
events="$work/events.json"
qw_wine_service_eventlog "$events" "$work/reg-env.txt" || fail "reg add"

mkdir -p "$WINEPREFIX/drive_c/Quotawarden"
cp "$exe_built" "$WINEPREFIX/drive_c/Quotawarden/"
# Wine's sc.exe has no "control" command: the same call from the tools'
# service_control.exe.
cp "$(dirname "$exe_built")/service_control.exe" "$WINEPREFIX/drive_c/Quotawarden/sc_control.exe" \
  || fail "service_control.exe is not built"
# Installed with no settings file yet: an automatic start (below, on a new
# server) checks with no thresholds and writes nothing that matters.
wine "$exe" /INSTALL /SILENT >"$work/install.txt" 2>&1 </dev/null || fail "/INSTALL /SILENT failed"
wine sc query Drivewarden >"$work/query-installed.txt" 2>&1 </dev/null || true
if grep -q 1060 "$work/query-installed.txt"; then
  # Wine's service manager may not see a service registered since it started.
  qw_wine_stop
  wineserver -p >/dev/null 2>&1 </dev/null
fi

/usr/bin/python3 - "$work" "$WINEPREFIX" "$native_bin" <<'PY'
import os, subprocess, sys, time
sys.path.insert(0, os.path.join(os.getcwd(), "tests", "e2e"))
import e2e_lib
from e2e_lib import Case, CaseFailure, Server, entries, ini_text, write_file

work, prefix, native_bin = sys.argv[1:4]
e2e_lib.SERVER = os.path.join(os.path.abspath(native_bin), "smtp_test_server")
events = os.path.join(work, "events.json")
ini = os.path.join(prefix, "drive_c", "windows", "Drivewarden.ini")
A, B = "a@example.jp", "b@example.jp"
STOP_BOUND = 5.0


def wine(*args, name="wine", timeout=60):
    """A wine command, its output in a file (never a pipe); (rc, output)."""
    path = os.path.join(work, name + ".txt")
    with open(path, "wb") as out:
        try:
            rc = subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            rc = -1
    return rc, open(path, encoding="utf-8", errors="replace").read()


def state():
    _, out = wine("sc", "query", "Drivewarden", name="query", timeout=30)
    for line in out.splitlines():
        if "STATE" in line:
            return line.split()[-1]
    return "?"


def wait_state(want, timeout):
    end = time.monotonic() + timeout
    while True:
        s = state()
        if s == want or time.monotonic() >= end:
            return s == want
        time.sleep(0.2)


def wait_until(predicate, timeout, step=0.2):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def ensure_stopped(case=None):
    if state() == "STOPPED":
        return True
    for _ in range(30):
        wine("sc", "stop", "Drivewarden", name="stop-cleanup", timeout=30)
        if wait_state("STOPPED", 5):
            return True
    if case:
        case.expect(False, "the service could not be stopped")
    return False


def start_service(case):
    rc, out = wine("sc", "start", "Drivewarden", name="start", timeout=60)
    if "1060" in out:
        raise CaseFailure("the service is not registered: " + out.strip())
    if "1056" in out:  # already running (the automatic start): stop, then start again
        ensure_stopped(case)
        rc, out = wine("sc", "start", "Drivewarden", name="start", timeout=60)
    return out


def fresh(case, text):
    ensure_stopped(case)
    if os.path.exists(events):
        os.remove(events)
    write_file(ini, text)


def mail_case(server_args=(), ok=False, errors=(), unwanted=(), no_server=False, check=None):
    def fn(case):
        server = None if no_server else Server(case.dir, list(server_args))
        port = e2e_lib.free_port() if no_server else server.port
        try:
            fresh(case, ini_text(port))
            start_service(case)
            # The check's outcome: the mail at the server, or the error entry;
            # when neither comes, what there is after the conversation ended.
            def settled():
                if any(e["type"] == "error" for e in entries(events)):
                    return True
                return bool(server and server.sessions() and server.wait_sessions_ended(0))
            wait_until(settled, 20 if no_server else 75)
            time.sleep(1.5)  # anything written right after
            ev = entries(events)
            wine("sc", "stop", "Drivewarden", name="stop", timeout=30)
            case.expect(wait_state("STOPPED", 30), "not STOPPED after sc stop (state %s)" % state())
        finally:
            if server:
                server.stop()
        case.expect(ev[:1] and ev[0]["type"] == "warning" and ev[0]["source"] == "Drivewarden",
                    "the first entry is not the warning: %s" % [(e["source"], e["type"]) for e in ev])
        errs = [e for e in ev if e["type"] == "error"]
        if ok:
            case.expect(len(ev) == 1, "entries besides the warning: %s" % [(e["type"], e["text"][:100]) for e in ev[1:]])
            case.expect(server and len(server.messages()) == 1, "not delivered")
        else:
            case.expect(len(ev) == 2 and len(errs) == 1,
                        "expected the warning and one error entry: %s" % [(e["type"], e["text"][:60]) for e in ev])
        if errs:
            text = errs[0]["text"]
            case.note("error: " + text.replace("\r\n", " | ")[:140])
            case.expect(errs[0]["source"] == "Drivewarden", "error entry source %r" % errs[0]["source"])
            for want in errors:
                case.expect(want in text, "error entry lacks %r: %r" % (want, text[:300]))
            for bad in unwanted:
                case.expect(bad not in text, "error entry has %r" % bad)
        if server and check:
            sessions = server.sessions()
            commands = sessions[0]["commands"] if sessions else []
            check(case, commands, [c.split(" ")[0].split(":")[0].upper() for c in commands], server)
    return fn


def control_128(case):
    fresh(case, ini_text(mail=False))
    start_service(case)
    case.expect(wait_state("RUNNING", 60), "never RUNNING (state %s)" % state())
    case.expect(wait_until(lambda: len(entries(events)) >= 1, 30), "no first check entry")
    for n in (2, 3):
        rc, out = wine("sc", "control", "Drivewarden", "128", name="control", timeout=30)
        if rc != 0:  # Wine's sc.exe knows no "control"
            if n == 2:
                case.note("wine sc control: exit %d, sent by sc_control.exe" % rc)
            rc, out = wine(r"C:\Quotawarden\sc_control.exe", "Drivewarden", "128", name="control", timeout=30)
            case.expect(rc == 0, "sc_control Drivewarden 128: exit %d %r" % (rc, out.strip()[-200:]))
        case.expect(wait_until(lambda: len(entries(events)) >= n, 10),
                    "no check after sc control 128 (%s): %s" % (n - 1, out.strip().splitlines()[-1:]))
    time.sleep(1)
    ev = entries(events)
    case.expect(len(ev) == 3 and all(e["type"] == "warning" for e in ev), "entries: %s" % [e["type"] for e in ev])
    case.expect(state() == "RUNNING", "not RUNNING after the controls (state %s)" % state())
    wine("sc", "stop", "Drivewarden", name="stop", timeout=30)
    # No mail wait here to cancel: the bound is that of a plain stop of a
    # busy machine's Wine, not the few seconds of the stop cases below.
    case.expect(wait_state("STOPPED", 60), "not STOPPED within 60 s of sc stop (state %s)" % state())


def stop_in_mail_wait(case):
    server = Server(case.dir, ["--at", "GREETING=silent:"])
    try:
        fresh(case, ini_text(server.port))
        start_service(case)
        if not wait_until(lambda: "# silent after GREETING" in server.log_lines(), 60):
            raise CaseFailure("the first check never reached the silent greeting")
        time.sleep(0.5)
        start = time.monotonic()
        rc, out = wine("sc", "stop", "Drivewarden", name="stop", timeout=30)
        stopped = wait_state("STOPPED", STOP_BOUND)
        seconds = time.monotonic() - start
        case.note("STOPPED after %.1f s" % seconds if stopped else "not STOPPED within %.0f s" % STOP_BOUND)
        case.expect(stopped, "not STOPPED within %.0f s of sc stop (sc stop: exit %d %r, state %s)"
                    % (STOP_BOUND, rc, " ".join(out.split())[-160:], state()))
        if not stopped:
            ensure_stopped(case)
        time.sleep(0.5)
        ev = entries(events)
    finally:
        server.stop()
    case.expect(ev[:1] and ev[0]["type"] == "warning", "the first entry is not the warning: %s" % [e["type"] for e in ev])
    errs = [e for e in ev if e["type"] == "error"]
    case.expect(len(errs) == 1 and "cancelled by stop" in errs[0]["text"],
                "not one error entry with 'cancelled by stop': %s" % [(e["type"], e["text"][:100]) for e in ev[1:]])


def quit_last(case, commands, verbs, server):
    case.expect(verbs[-1:] == ["QUIT"], "QUIT is not the last command: %s" % commands[-3:])


def no_data(case, commands, verbs, server):
    case.expect("DATA" not in verbs, "DATA sent: %s" % commands)
    quit_last(case, commands, verbs, server)


cases = [
    ("ok", mail_case(ok=True, check=lambda case, c, v, s: (
        case.expect(v[:1] == ["EHLO"], "the first command is not EHLO: %s" % c[:1]), quit_last(case, c, v, s)))),
    ("split-every-byte", mail_case(["--at", "GREETING=bytes=20:220 split at every byte",
                                    "--at", r"EHLO=bytes=20:250-first\n250 last"], ok=True)),
    ("multi-line-replies", mail_case(["--at", r"EHLO=:250-mx.example.jp\n250-SIZE 10240000\n250 8BITMIME",
                                      "--at", r"DOT=:250-2.0.0 queued\n250 as 1234"], ok=True)),
    ("ehlo-502-helo", mail_case(["--at", "EHLO=:502 5.5.2 command not implemented"], ok=True,
                                check=lambda case, c, v, s: case.expect(v[:2] == ["EHLO", "HELO"], "not EHLO, HELO: %s" % c[:2]))),
    ("connect-refused", mail_case(no_server=True, errors=["CONNECT 127.0.0.1:"])),
    ("greeting-421-close", mail_case(["--at", "GREETING=close:421 4.3.2 service not available"],
                                     errors=["GREETING: 421 4.3.2 service not available"])),
    ("mail-550", mail_case(["--at", "MAIL=:550 5.7.1 sender rejected"], errors=["MAIL: 550 5.7.1 sender rejected"],
                           check=no_data)),
    ("rcpt-second-550", mail_case(["--at", "RCPT#2=:550 5.1.1 no such user"],
                                  errors=["RCPT <%s>: 550 5.1.1 no such user" % B], unwanted=["RCPT <%s>" % A],
                                  check=lambda case, c, v, s: (case.expect(len(s.messages()) == 1, "not delivered to the accepted one"),
                                                              quit_last(case, c, v, s)))),
    ("rcpt-all-550", mail_case(["--at", "RCPT=:550 5.1.1 no such user"],
                               errors=["RCPT <%s>: 550" % A, "RCPT <%s>: 550" % B], check=no_data)),
    ("data-554", mail_case(["--at", "DATA=:554 5.3.4 no thanks"], errors=["DATA: 554 5.3.4 no thanks"], check=quit_last)),
    ("dot-552", mail_case(["--at", "DOT=:552 5.3.4 message too big"], errors=[".: 552 5.3.4 message too big"],
                          check=quit_last)),
    ("reply-line-1mb", mail_case(["--at", "EHLO=pad=1048576:250 "], errors=["EHLO: "])),
    ("control-128-checks-at-once", control_128),
]
for i in range(5):
    cases.append(("stop-in-mail-wait-%d" % (i + 1), stop_in_mail_wait))

only = os.environ.get("QW_CASES", "").split()
if only:
    cases = [c for c in cases if c[0] in only]
failed = 0
for name, fn in cases:
    case = Case(name, work)
    start = time.monotonic()
    try:
        fn(case)
    except CaseFailure as e:
        case.failures.append(str(e))
    except Exception:
        import traceback
        case.failures.append("script error: " + traceback.format_exc())
    print("fault_matrix_wine: %s %-28s (%.1f s)%s" % ("ok  " if not case.failures else "FAIL", name,
                                                     time.monotonic() - start,
                                                     "  " + "; ".join(case.notes) if case.notes else ""))
    for f in case.failures:
        print("        - " + f)
    sys.stdout.flush()
    failed += bool(case.failures)
print("fault_matrix_wine: %d of %d cases passed" % (len(cases) - failed, len(cases)))
sys.exit(1 if failed else 0)
PY
