"""What retry_posix.sh left in its work folder (the argument): the entries,
the states and the mails of each run."""
import email, email.header, glob, json, os, sys
work = sys.argv[1]

def events(name):
    return [json.loads(l) for l in open(os.path.join(work, name + ".json"), encoding="utf-8")]

def state(name):
    sections, current = {}, None
    for line in open(os.path.join(work, name), "rb").read().decode("cp932").split("\r\n"):
        if line.startswith("["):
            current = sections.setdefault(line.strip("[]"), {})
        elif line:
            key, value = line.split("=", 1)
            current[key] = value
    return sections

def subject(path):
    msg = email.message_from_bytes(open(path, "rb").read())
    return str(email.header.make_header(email.header.decode_header(msg["Subject"])))

fg = events("fg")
errors = [e for e in fg if e["type"] == "error"]
assert errors and all(e["text"].startswith("警告メールを送信できませんでした: CONNECT") for e in errors), fg
assert errors[0]["text"].endswith("2 秒後に再送します。"), errors[0]
late = [e for e in fg if e["type"] == "information" and e["text"].startswith("警告メールを遅れて送信しました。作成: ")]
assert len(late) == 1 and "回失敗した後に送信" in late[0]["text"], fg
s = state("fg-status.ini")
assert "PENDINGALERT" not in s and s["ALERT"]["OPEN"] == "1" and s["ALERT"]["SHORT"] == "C", s
assert s["MAIL"]["DELIVERED"] == "1" and s["MAIL"]["LASTDELIVERYLOCAL"], s

stopped = [e for e in events("stop") if e["type"] == "error"]
assert stopped[-1]["text"].endswith("cancelled by stop\r\nサービスの次の開始後に再送します。"), stopped
assert state("stop-status.ini")["PENDINGALERT"]["ATTEMPTS"] == "2", state("stop-status.ini")

down = state("down.ini")
assert down["PENDINGALERT"]["KIND"] == "alert" and down["PENDINGALERT"]["ATTEMPTS"] == "1", down
assert "次の実行で再送します。" in events("down")[-1]["text"], events("down")
assert "PENDINGALERT" not in state("up.ini")
assert "PENDINGALERT" not in state("recovered.ini") and state("recovered.ini")["ALERT"]["OPEN"] == "0"

assert len(glob.glob(os.path.join(work, "mail", "fg", "*"))) == 1
mails = sorted(glob.glob(os.path.join(work, "mail", "seq", "*")))
subjects = [subject(p) for p in mails]
expected = ["ドライブ領域不足のお知らせ", "ドライブ領域回復のお知らせ", "ドライブ領域不足のお知らせ"]
assert subjects == expected, subjects
recovery = email.message_from_bytes(open(mails[1], "rb").read())
body = recovery.get_payload(decode=True).decode("iso-2022-jp")
assert "回復しました" in body and "C ドライブの空き領域" in body, body
assert [e["type"] for e in events("held")] == ["warning"], "REMIND: the entry, no mail"
print("ok:", len(errors), "failed attempts then late delivery;", subjects)
