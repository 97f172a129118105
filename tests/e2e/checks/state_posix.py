"""The states and entries state_posix.sh left in its work folder (the
argument)."""
import json, os, re, sys
work = sys.argv[1]

def state(name):
    raw = open(os.path.join(work, name), "rb").read()
    assert b"\r\n" in raw and b"\n" not in raw.replace(b"\r\n", b""), "CR LF lines"
    sections, current = {}, None
    for line in raw.decode("cp932").split("\r\n"):
        if not line:
            continue
        if line.startswith("["):
            current = sections.setdefault(line.strip("[]"), {})
        else:
            key, value = line.split("=", 1)
            current[key] = value
    return sections

def events(name):
    return [json.loads(l) for l in open(os.path.join(work, name + ".json"), encoding="utf-8")]

def free_of_entry(entry):
    m = re.search(r"C ドライブの空き領域: ([0-9,]+) バイト", entry["text"])
    assert m, entry["text"]
    return m.group(1).replace(",", "")

first, second = state("delivered.ini"), state("noserver.ini")
e1, e2 = events("delivered"), events("noserver")
assert first["CHECK"]["OUTCOME"] == "warning" and e1[0]["type"] == "warning", (first, e1)
assert first["MAIL"]["ATTEMPTED"] == "1" and first["MAIL"]["DELIVERED"] == "1", first
assert first["MAIL"]["REPLY"].startswith("250"), first["MAIL"]
assert first["MAIL"]["LASTDELIVERYLOCAL"] == first["CHECK"]["LOCAL"], first
assert first["MAIL"]["LASTDELIVERYUTC"] == first["CHECK"]["UTC"], first
assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", first["CHECK"]["UTC"]), first
c = first["DRIVE.C"]
assert c["FREE"] == free_of_entry(e1[0]), (c, e1[0]["text"])
assert c["CAPACITY"].isdigit() and c["THRESHOLDBYTES"].isdigit(), c
assert c["THRESHOLD"] == "99%" and c["BELOW"] == "1", c
assert int(c["FREE"]) < int(c["THRESHOLDBYTES"]) <= int(c["CAPACITY"]), c

assert second["CHECK"]["OUTCOME"] == "warning", second
assert second["CHECK"]["LOCAL"] != first["CHECK"]["LOCAL"], second
assert second["MAIL"]["DELIVERED"] == "0" and "CONNECT" in second["MAIL"]["REPLY"], second["MAIL"]
assert [e["type"] for e in e2] == ["warning", "error"], e2
assert second["MAIL"]["LASTDELIVERYLOCAL"] == first["CHECK"]["LOCAL"], "the delivery is kept"
assert second["DRIVE.C"]["FREE"] == free_of_entry(e2[0])

moved = state(os.path.join("other", "status.ini"))
assert moved["CHECK"]["OUTCOME"] == "information" and events("moved")[0]["type"] == "information"
assert moved["MAIL"]["ATTEMPTED"] == "0", moved
assert moved["MAIL"]["LASTDELIVERYLOCAL"] == "", "another folder is another history"

for name, kinds in (("unwritable", ["information", "error"]), ("unwritable-mail", ["warning", "error", "error"])):
    ev = events(name)
    # The history beside the state cannot be written either: one error of its own.
    history = [e for e in ev if "history.txt" in e["text"]]
    assert len(history) == 1 and history[0]["type"] == "error", (name, ev)
    assert os.path.join(work, "absent", "history.txt") in history[0]["text"], history[0]["text"]
    ev = [e for e in ev if e not in history]
    assert [e["type"] for e in ev] == kinds, (name, ev)
    errors = [e for e in ev if "status.ini" in e["text"]]
    assert len(errors) == 1 and errors[0]["source"] == "Drivewarden", (name, ev)
    assert os.path.join(work, "absent", "status.ini") in errors[0]["text"], errors[0]["text"]
assert not os.path.exists(os.path.join(work, "absent"))
print("ok:", first["CHECK"]["LOCAL"], first["MAIL"]["REPLY"])
