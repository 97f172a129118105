"""What alert_mail_posix.sh left in its work folder (the argument): the
delivered mail read back by Python's email package to the report of the
warning entry, and the entries of the run with no server."""
import email, email.policy, glob, json, os, re, sys
work = sys.argv[1]
events = [json.loads(l) for l in open(os.path.join(work, "events.json"), encoding="utf-8")]
assert len(events) == 1 and events[0]["type"] == "warning", events
mails = sorted(glob.glob(os.path.join(work, "mail", "*.eml")))
assert len(mails) == 1, mails
raw = open(mails[0], "rb").read()
assert all(b < 0x80 for b in raw), "the mail is 7-bit"
msg = email.message_from_bytes(raw, policy=email.policy.default)
assert str(msg["Subject"]) == "ドライブ領域不足のお知らせ", msg["Subject"]
sender = msg["From"].addresses[0]
assert (sender.display_name, sender.addr_spec) == ("ドライブ番人サービス", "warden@example.jp"), sender
assert [a.addr_spec for a in msg["To"].addresses] == ["admin@example.jp", "ops@example.jp"], msg["To"]
assert [a.addr_spec for a in msg["Cc"].addresses] == ["boss@example.jp"], msg["Cc"]
body = msg.get_content()
# The event entry is the report without its blank lines.
entry = events[0]["text"]
assert body.replace("\r\n\r\n", "\r\n").rstrip("\r\n") == entry, (body, entry)
assert "\r\n\r\n" in body, "the mail keeps the blank lines"
noserver = [json.loads(l) for l in open(os.path.join(work, "events-noserver.json"), encoding="utf-8")]
assert len(noserver) == 2, noserver
assert noserver[0]["type"] == "warning" and noserver[0]["id"] == 5610, noserver[0]
failure = noserver[1]
assert failure["type"] == "error" and failure["source"] == "Drivewarden", failure
assert re.search(r"CONNECT 127\.0\.0\.1:\d+: \S", failure["text"]), failure["text"]
assert len(glob.glob(os.path.join(work, "mail", "*.eml"))) == 1
print("ok:", msg["Subject"], "/", msg["From"])
