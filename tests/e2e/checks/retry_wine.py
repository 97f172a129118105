"""The entries, the mail and the state retry_wine.sh left in its work
folder (the argument)."""
import email, email.policy, glob, json, os, sys
work = sys.argv[1]
events = [json.loads(l) for l in open(os.path.join(work, "events.json"), encoding="utf-8")]
mine = [e for e in events if e["source"] == "Drivewarden" and e["id"] == 5610]
failed = [e for e in mine if e["type"] == "error" and e["text"].startswith("警告メールを送信できませんでした: CONNECT")]
assert failed and failed[-1]["text"].endswith("3 秒後に再送します。"), mine
late = [e for e in mine if e["type"] == "information" and e["text"].startswith("警告メールを遅れて送信しました。作成: ")]
assert len(late) == 1, mine
mails = sorted(glob.glob(os.path.join(work, "mail", "*.eml")))
assert len(mails) == 1, mails
msg = email.message_from_bytes(open(mails[0], "rb").read(), policy=email.policy.default)
assert str(msg["Subject"]) == "ドライブ領域不足のお知らせ", msg["Subject"]
warnings = [e for e in mine if e["type"] == "warning"]
body = msg.get_content()
assert body.replace("\r\n\r\n", "\r\n").rstrip("\r\n") == warnings[-1]["text"], "the report as composed"
state = open(os.path.join(work, "status.ini"), "rb").read().decode("cp932")
assert "[PENDINGALERT]" not in state and "OPEN=1" in state, state
print("ok:", len(failed), "failed attempt(s), then", late[0]["text"])
