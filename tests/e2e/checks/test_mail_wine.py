"""The test mail test_mail_wine.sh delivered (its work folder is the
argument); none for the refused run."""
import email, email.policy, glob, os, sys
work = sys.argv[1]
mails = sorted(glob.glob(os.path.join(work, "ok", "mail", "*.eml")))
assert len(mails) == 1, mails
msg = email.message_from_bytes(open(mails[0], "rb").read(), policy=email.policy.default)
assert str(msg["Subject"]) == "テストメール", msg["Subject"]
assert [a.addr_spec for a in msg["Cc"].addresses] == ["boss@example.jp"], msg["Cc"]
assert not glob.glob(os.path.join(work, "refused", "mail", "*.eml"))
print("ok:", msg["Subject"])
