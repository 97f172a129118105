"""The entries and the alerts exim stored for smtp_tls_exim_wine.sh. Usage:
smtp_tls_exim_wine.py WORK PASSWORD"""
import email, email.policy, glob, json, os, sys
work, password = sys.argv[1], sys.argv[2]
events = [json.loads(l) for l in open(os.path.join(work, "events.json"), encoding="utf-8")]
for e in events:
    assert password not in e["text"], "the password appears in an entry"
errors = [e for e in events if e["type"] == "error"]
assert not errors, errors
# Wine keeps no DACL a file is given (it derives one from the Unix mode), so
# each load of a file holding a password also warns that Everyone can read it.
readable = [e for e in events if e["type"] == "warning" and "他のユーザーも読めます (Everyone)" in e["text"]]
assert len(readable) >= 3, events
warnings = [e["text"] for e in events if e["source"] == "Drivewarden" and e["type"] == "warning" and e["id"] == 5610
            and e not in readable]
assert len(warnings) == 3, events
mails = sorted(glob.glob(os.path.join(work, "Maildir", "new", "*")))
assert len(mails) == 3, mails
for path in mails:
    msg = email.message_from_bytes(open(path, "rb").read(), policy=email.policy.default)
    assert str(msg["Subject"]) == "ドライブ領域不足のお知らせ", msg["Subject"]
    # The Maildir keeps LF line ends; the entry is the report without its blank lines.
    body = msg.get_content().replace("\r\n", "\n").replace("\n\n", "\n").rstrip("\n")
    assert body in [w.replace("\r\n", "\n") for w in warnings], (body, warnings)
    received = str(msg.get_all("Received"))
    assert "TLS" in received.upper() or "tls" in received, received
print("ok: 3 alerts over TLS")
