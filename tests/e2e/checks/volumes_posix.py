"""What volumes_posix.sh left in its work folder (the argument): the two
warning entries, the alert mail at aiosmtpd and status.ini, each naming the
volumes by their mount paths."""
import email, email.policy, glob, json, os, sys
work = sys.argv[1]
events = [json.loads(l) for l in open(os.path.join(work, "events.json"), encoding="utf-8")]
warnings = [e["text"] for e in events if e["type"] == "warning"]
errors = [e["text"] for e in events if e["type"] == "error"]
assert len(warnings) >= 2, events
assert not errors, errors
first, second = warnings[0], warnings[1]
for report in (first, second):
    assert "・ C ドライブの空き領域: " in report, report
    # Filled past DEFAULT, found without a key of its own; named with the
    # label mkfs.ext4 -L gave it, read from the device's superblock.
    assert f"・ {work}/vol1 [QWDATA] の空き領域: " in report, report
    assert f"{work}/vol1 [QWDATA] : しきい値 4MB ( = 4,194,304 バイト )" in report, report
    # A tmpfs named by its key (no label: no device of its own).
    assert f"{work}/tmpfs : しきい値 4MB" in report, report
    # The hung FUSE volume, reported rather than waited for.
    assert f"・ {work}/hung の空き領域: 応答がありません" in report, report
    assert f"{work}/hung : 応答がありません (" in report, report
    # The bind mount is the same volume; ignored and unnamed pseudo volumes are out.
    for absent in (f"{work}/bind", f"{work}/scratch", f"{work}/tmpfs2"):
        assert absent not in report, (absent, report)
    assert report.count(f"{work}/vol1 [QWDATA] の空き領域") == 1, report
assert f"{work}/late" not in first, first
assert f"{work}/late [LATE] : しきい値 4MB" in second, second

mails = sorted(glob.glob(os.path.join(work, "mbox", "new", "*")))
assert mails, "no mail"
msg = email.message_from_bytes(open(mails[0], "rb").read(), policy=email.policy.default)
body = msg.get_content()
assert f"{work}/vol1 [QWDATA] : しきい値 4MB" in body, body
assert f"{work}/hung : 応答がありません" in body, body

state = open(os.path.join(work, "status.ini"), "rb").read().decode("cp932")
sections = {}
name = None
for line in state.splitlines():
    if line.startswith("["):
        name = line.strip("[]")
        sections[name] = {}
    elif name and "=" in line:
        k, v = line.split("=", 1)
        sections[name][k] = v
volumes = {s["PATH"]: s for n, s in sections.items() if n.startswith("VOLUME.")}
assert volumes[f"{work}/vol1"]["BELOW"] == "1", volumes
assert volumes[f"{work}/vol1"].get("LABEL") == "QWDATA", volumes
assert "LABEL" not in volumes[f"{work}/tmpfs"], volumes
assert int(volumes[f"{work}/vol1"]["FREE"]) < 4 * 1024 * 1024, volumes
assert volumes[f"{work}/hung"]["BELOW"] == "1", volumes
assert f"{work}/late" in volumes, volumes
assert f"{work}/bind" not in volumes and f"{work}/scratch" not in volumes, volumes
print("ok:", len(volumes), "volumes in status.ini;", msg["Subject"])
