"""The copies exim stored for one delivery of smtp_exim.sh, against the
text the client sent. Usage: smtp_exim.py MAILDIR_NEW SENT_FILE LABEL"""
import os, sys
folder, sent_path, label = sys.argv[1:4]
sent = open(sent_path, "rb").read().replace(b"\r\n", b"\n")
msgid = [l for l in sent.split(b"\n") if l.lower().startswith(b"message-id:")][0]
stored = []
for name in sorted(os.listdir(folder)):
    data = open(os.path.join(folder, name), "rb").read()
    if msgid in data:
        stored.append(data)
if len(stored) != 3:
    sys.exit(f"{label}: expected 3 stored copies of {msgid!r}, found {len(stored)}")
targets = set()
for data in stored:
    head = data.split(b"\n\n", 1)[0]
    env = [l for l in head.split(b"\n") if l.startswith(b"Envelope-to:")]
    targets.update(env[0][len(b"Envelope-to:"):].strip().split(b", "))
    if not data.endswith(sent + b"\n"):
        sys.exit(f"{label}: stored message does not end with the text sent")
    if b"\nBcc:" in data or data.startswith(b"Bcc:"):
        sys.exit(f"{label}: Bcc line reached the server")
    if b"\n.leading period\n" not in data or b"\n.\n" not in data or b"\n..two\n" not in data:
        sys.exit(f"{label}: period lines changed")
    if b"\x83\x68\x83\x89\x83\x43\x83\x75" not in data:
        sys.exit(f"{label}: 8-bit bytes changed")
want = {b"admin@example.test", b"ops@example.test", b"audit@example.test"}
if targets != want:
    sys.exit(f"{label}: envelope recipients {sorted(targets)} != {sorted(want)}")
print(f"{label}: 3 copies stored intact")
