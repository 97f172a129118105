"""The test mail test_mail_posix.sh delivered (its work folder is the
argument), read back by Python's email package; none for the refused run."""
import email, email.policy, glob, os, sys
work = sys.argv[1]
mails = sorted(glob.glob(os.path.join(work, "ok", "*.eml")))
assert len(mails) == 1, mails
msg = email.message_from_bytes(open(mails[0], "rb").read(), policy=email.policy.default)
assert str(msg["Subject"]) == "テストメール", msg["Subject"]
assert [a.addr_spec for a in msg["To"].addresses] == ["admin@example.jp"], msg["To"]
assert [a.addr_spec for a in msg["Cc"].addresses] == ["boss@example.jp"], msg["Cc"]
body = msg.get_content()
assert "テストメール" in body and "コンピュータ: " in body and "送信日時: " in body, body
assert not glob.glob(os.path.join(work, "refused", "*.eml"))
print("ok:", msg["Subject"])
