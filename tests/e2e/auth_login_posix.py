"""The cases of auth_login_posix.sh (see there); the argument is the
repository root."""
import base64, json, os, shutil, socket, subprocess, sys, tempfile

root = sys.argv[1]
service = os.path.join(root, "build/native/bin/QuotawardenService")
work = tempfile.mkdtemp(prefix="qw-e2e-auth.")
USER = "管理者"
PASSWORD = "パスワード＃1abc"
failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)


from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Echo:
    """Accepts admin@, refuses refused@ with the login echoed back, and
    queues the text with the AUTH PLAIN payload in its reply."""

    def __init__(self):
        self.logins = []
        self.messages = []

    def authenticate(self, server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False)
        self.logins.append((mechanism, auth_data.login, auth_data.password))
        ok = auth_data.login == USER.encode("utf-8") and auth_data.password == PASSWORD.encode("utf-8")
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    def _forms(self, session):
        login = session.auth_data
        payload = base64.b64encode(b"\0" + login.login + b"\0" + login.password).decode()
        return payload, base64.b64encode(login.password).decode()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        payload, password64 = self._forms(session)
        if address.startswith("refused@"):
            return "550 5.7.1 login %s (%s) may not send to %s" % (password64, payload, address)
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 ok, you are " + payload

    async def handle_DATA(self, server, session, envelope):
        self.messages.append(envelope.content)
        payload, _ = self._forms(session)
        return "250 2.0.0 queued as " + payload


def start(mechanisms_excluded):
    handler = Echo()
    with socket.socket() as probe:  # the controller cannot take port 0
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    controller = Controller(handler, hostname="127.0.0.1", port=port, authenticator=handler.authenticate,
                            auth_require_tls=False, auth_exclude_mechanism=mechanisms_excluded)
    controller.start()
    return handler, controller, port


def write_ini(folder, port):
    text = ("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=100%%\r\n"
            "[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=%d\r\nMAILFROM=warden@example.jp\r\n"
            "MAILTO=admin@example.jp\r\nMAILCC=refused@example.jp\r\nUSER=%s\r\nPASSWORD=%s\r\n" % (port, USER, PASSWORD))
    path = os.path.join(folder, "Drivewarden.ini")
    with open(path, "wb") as f:
        f.write(text.encode("cp932"))
    os.chmod(path, 0o600)


def run(args, name, folder):
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1")
    with open(os.path.join(folder, name + ".out"), "wb") as out, open(os.path.join(folder, name + ".err"), "wb") as err:
        rc = subprocess.call(args, stdout=out, stderr=err, stdin=subprocess.DEVNULL, env=env, timeout=60)
    read = lambda n: open(os.path.join(folder, n), "rb").read()
    return rc, read(name + ".out"), read(name + ".err")


def secrets_in(text_bytes):
    """The forms of the login found in `text_bytes` (Shift-JIS or UTF-8)."""
    u_user, u_pw = USER.encode("utf-8"), PASSWORD.encode("utf-8")
    forms = {
        "password (UTF-8)": u_pw,
        "password (Shift-JIS)": PASSWORD.encode("cp932"),
        "base64 of the password": base64.b64encode(u_pw),
        "AUTH PLAIN payload": base64.b64encode(b"\0" + u_user + b"\0" + u_pw),
    }
    return [name for name, form in forms.items() if form in text_bytes]


try:
    for mechanism, excluded in (("PLAIN", ["LOGIN"]), ("LOGIN", ["PLAIN"])):
        folder = os.path.join(work, mechanism)
        os.makedirs(folder)
        handler, controller, port = start(excluded)
        try:
            write_ini(folder, port)
            # The test mail and its transcript (Shift-JIS on stdout).
            rc, out, err = run([service, "--test-mail", "--windir=" + folder, "--mail-timeout=5", "--mail-deadline=20"],
                               "testmail", folder)
            transcript = out.decode("cp932", "replace")
            expect(rc == 1, "%s: --test-mail exit %d with one recipient refused, expected 1: %s %s" % (mechanism, rc, transcript, err[-400:]))
            expect(handler.logins and handler.logins[0][1:] == (USER.encode("utf-8"), PASSWORD.encode("utf-8")),
                   "%s: the server got the login %r, expected the UTF-8 bytes" % (mechanism, handler.logins[:1]))
            expect(handler.logins and handler.logins[0][0] == mechanism, "%s: mechanism %r" % (mechanism, handler.logins[:1]))
            expect(len(handler.messages) == 1, "%s: %d messages after the test mail" % (mechanism, len(handler.messages)))
            expect(not secrets_in(out), "%s: the transcript shows %s:\n%s" % (mechanism, secrets_in(out), transcript))
            expect("\n< 250 2.0.0 queued as ****\n" in transcript, "%s: no masked DATA reply in the transcript:\n%s" % (mechanism, transcript))
            expect("RCPT <refused@example.jp>: 550 5.7.1 login **** (****) may not send" in transcript,
                   "%s: the refusal is not printed masked:\n%s" % (mechanism, transcript))
            expect(("> AUTH %s" % mechanism) in transcript, "%s: no AUTH in the transcript" % mechanism)

            # One check with the alert mail: entries and the state file.
            events = os.path.join(folder, "events.json")
            rc, out, err = run([service, "--once", "--windir=" + folder, "--eventlog=" + events,
                                "--mail-timeout=5", "--mail-deadline=20"], "once", folder)
            expect(rc == 2, "%s: --once exit %d with one recipient refused, expected 2: %s" % (mechanism, rc, err[-400:]))
            expect(len(handler.messages) == 2, "%s: the alert did not arrive (%d messages)" % (mechanism, len(handler.messages)))
            entries = [json.loads(line) for line in open(events, encoding="utf-8") if line.strip()]
            texts = [e["text"] for e in entries]
            expect(any(e["type"] == "error" and "550 5.7.1 login **** (****)" in e["text"] for e in entries),
                   "%s: no masked refusal among the entries: %s" % (mechanism, texts))
            for text in texts:
                expect(not secrets_in(text.encode("utf-8")), "%s: an entry shows %s: %s" % (mechanism, secrets_in(text.encode("utf-8")), text))
            expect(not secrets_in(err), "%s: stderr shows %s" % (mechanism, secrets_in(err)))
            state = open(os.path.join(folder, "status.ini"), "rb").read()
            expect(b"****" in state, "%s: status.ini keeps no masked reply: %r" % (mechanism, state[:600]))
            expect(not secrets_in(state), "%s: status.ini shows %s" % (mechanism, secrets_in(state)))
            for name in ("testmail.err", "once.err"):
                text = open(os.path.join(folder, name), encoding="utf-8", errors="replace").read()
                expect("AddressSanitizer" not in text and "runtime error:" not in text, "%s: sanitizer report in %s" % (mechanism, name))
        finally:
            controller.stop()
finally:
    if not os.environ.get("KEEP"):
        shutil.rmtree(work, ignore_errors=True)

if failures:
    for f in failures:
        print("auth_login_posix: " + f, file=sys.stderr)
    sys.exit(1)
print("auth_login_posix: ok (PLAIN and LOGIN: UTF-8 login, echoes masked)")
