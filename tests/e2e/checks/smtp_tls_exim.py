"""The entries and delivered alerts of smtp_tls_exim.sh. Usage:
smtp_tls_exim.py WORK PASSWORD"""
import email, email.policy, glob, json, os, sys
work, password = sys.argv[1], sys.argv[2]
problems = []

def case(name):
    d = os.path.join(work, "case-" + name)
    rc = int(open(os.path.join(d, "rc")).read())
    events = []
    path = os.path.join(d, "events.json")
    if os.path.exists(path):
        events = [json.loads(l) for l in open(path, encoding="utf-8")]
    err = open(os.path.join(d, "err"), encoding="utf-8", errors="replace").read()
    for text in [e["text"] for e in events] + [err]:
        if password in text or "not-the-password" in text:
            problems.append(f"{name}: the password appears in an entry or on stderr")
    return rc, events, err

def delivered(name, info=None):
    rc, events, err = case(name)
    if rc != 0:
        problems.append(f"{name}: exit {rc}: {err.strip()}")
        return
    errors = [e for e in events if e["type"] == "error"]
    if errors:
        problems.append(f"{name}: error entries {errors}")
    infos = [e["text"] for e in events if e["type"] == "information"]
    if info is None and infos:
        problems.append(f"{name}: unexpected information entries {infos}")
    if info is not None and not any(info in t for t in infos):
        problems.append(f"{name}: no information entry with {info!r}: {infos}")
    print(f"{name}: delivered" + (f", entry: {infos}" if infos else ""))

def refused(name, *wanted):
    rc, events, err = case(name)
    if rc != 2:
        problems.append(f"{name}: exit {rc}, expected 2: {err.strip()}")
    errors = [e["text"] for e in events if e["type"] == "error"]
    if len(errors) != 1:
        problems.append(f"{name}: {len(errors)} error entries: {errors}")
        return
    for w in wanted:
        if w not in errors[0]:
            problems.append(f"{name}: {w!r} not in the entry {errors[0]!r}")
    print(f"{name}: {errors[0]}")

delivered("starttls-plain")
delivered("starttls-login")
delivered("tls-plain")
delivered("unverified", "証明書を検証していない")
refused("wrong-password", "AUTH: 535 ")
refused("unknown-ca", "TLS: 証明書", "unable to get local issuer certificate")
refused("other-host", "TLS: 証明書", "hostname mismatch")
refused("other-address", "TLS: 証明書", "IP address mismatch")
refused("expired", "TLS: 証明書", "certificate has expired")
refused("no-starttls", "STARTTLS: the server does not offer STARTTLS")
refused("closing", "TLS: connection closed by the server")
refused("silent", "TLS: time-out after 3 s")

# The four delivered alerts, each whole in exim's Maildir: its body is the
# report of the warning entry of one delivered case.
reports = set()
for name in ("starttls-plain", "starttls-login", "tls-plain", "unverified"):
    reports.update(e["text"] for e in case(name)[1] if e["type"] == "warning")
mails = sorted(glob.glob(os.path.join(work, "Maildir", "new", "*")))
alerts = [p for p in mails if b"transcript check" not in open(p, "rb").read()]
for path in mails:
    data = open(path, "rb").read()
    if b"transcript check" in data and not (b"\nline 40000 of a long alert body" in data
                                           and data.rstrip(b"\n").endswith(b"\nlast line") and b"\n.leading period\n" in data):
        problems.append("the long body over TLS did not arrive whole")
if len(mails) != 5 or len(alerts) != 4:
    problems.append(f"{len(mails)} mails in the Maildir ({len(alerts)} alerts), expected 5 (4 alerts)")
for path in alerts:
    msg = email.message_from_bytes(open(path, "rb").read(), policy=email.policy.default)
    body = msg.get_content().replace("\r\n", "\n").replace("\n\n", "\n").rstrip("\n")
    if str(msg["Subject"]) != "ドライブ領域不足のお知らせ" or body not in {r.replace("\r\n", "\n") for r in reports}:
        problems.append(f"{path}: not the alert: {msg['Subject']!r} {body[:200]!r} {sorted(reports)[:1]!r}")
for name in ("nostarttls", "closing", "silent"):
    if glob.glob(os.path.join(work, name + ".mail", "*.eml")):
        problems.append(f"{name}: a message reached the server without TLS")
    log = open(os.path.join(work, name + ".cmds"), errors="replace").read()
    if "AUTH" in log or "MAIL FROM" in log:
        problems.append(f"{name}: AUTH or MAIL went out in clear")
if problems:
    print("\n".join(problems), file=sys.stderr)
    sys.exit(1)
