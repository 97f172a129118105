"""The alert mail and the warning entry alert_mail_wine.sh left in its work
folder (the argument)."""
import email, email.policy, glob, json, os, sys
work = sys.argv[1]
events = [json.loads(l) for l in open(os.path.join(work, "events.json"), encoding="utf-8")]
warnings = [e for e in events if e["source"] == "Drivewarden" and e["type"] == "warning" and e["id"] == 5610]
assert len(warnings) == 1, events
mails = sorted(glob.glob(os.path.join(work, "mail", "*.eml")))
assert len(mails) == 1, mails
msg = email.message_from_bytes(open(mails[0], "rb").read(), policy=email.policy.default)
assert str(msg["Subject"]) == "ドライブ領域不足のお知らせ", msg["Subject"]
sender = msg["From"].addresses[0]
assert (sender.display_name, sender.addr_spec) == ("ドライブ番人サービス", "warden@example.jp"), sender
assert [a.addr_spec for a in msg["To"].addresses] == ["admin@example.jp", "ops@example.jp"]
assert [a.addr_spec for a in msg["Cc"].addresses] == ["boss@example.jp"]
body = msg.get_content()
assert body.replace("\r\n\r\n", "\r\n").rstrip("\r\n") == warnings[0]["text"], (body, warnings[0]["text"])
print("ok:", msg["Subject"], "/", msg["From"], "/", msg["Message-ID"])
