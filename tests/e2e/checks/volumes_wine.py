"""What volumes_wine.sh left in its work folder (the argument): the volumes
volume_probe.exe listed (probe.txt) against mountmgr's MountedDevices
(mounted.txt)."""
import os, re, sys
work = sys.argv[1]
probe = open(os.path.join(work, "probe.txt"), encoding="utf-8", errors="replace").read().splitlines()
mounted = open(os.path.join(work, "mounted.txt"), encoding="utf-8", errors="replace").read().splitlines()

volumes, spaces = [], {}
for line in probe:
    f = line.split("\t")
    if f[0] == "volume":
        kind, name, label, fs, paths = f[1], f[2], f[3], f[4], f[5]
        volumes.append((kind, name, label, fs, [p for p in paths.split("|") if p]))
    elif f[0] == "space":
        spaces[f[1]] = f[2:]
assert volumes, probe

guids, letters = {}, {}
for line in mounted:
    m = re.match(r"\s+\\\?\?\\(Volume\{[0-9a-fA-F-]+\})\s+REG_BINARY\s+(\S*)", line)
    if m:
        guids[m.group(1).lower()] = m.group(2)
    m = re.match(r"\s+\\DosDevices\\([A-Z]):\s+REG_BINARY\s+(\S*)", line)
    if m:
        letters[m.group(1)] = m.group(2)
assert guids and letters, mounted

seen_letters = []
for kind, name, label, fs, paths in volumes:
    m = re.fullmatch(r"\\\\\?\\(Volume\{[0-9a-fA-F-]+\})\\", name)
    assert m, name
    guid = m.group(1).lower()
    assert guid in guids, (name, sorted(guids))
    for path in paths:
        assert re.fullmatch(r"[A-Z]:\\", path), ("a path that is no letter root", path)
        letter = path[0]
        assert letters.get(letter) == guids[guid], ("the letter is not this volume's in mountmgr", path, name)
        seen_letters.append(letter)
    measured = paths[0] if paths else name
    assert measured in spaces, (measured, spaces)
    if kind == "fixed":
        assert spaces[measured][0].isdigit(), (measured, spaces[measured])
assert len(seen_letters) == len(set(seen_letters)), ("a letter listed twice", seen_letters)
for letter in ("C", "D"):
    assert letter in seen_letters, (letter, volumes)
assert any(p == "D:\\" and k == "fixed" for k, _, _, _, ps in volumes for p in ps), volumes
labels = [v for v in volumes if v[2]]
folders = [p for v in volumes for p in v[4] if len(p) > 3]
print("ok: %d volumes (%s); labels: %s; folder mount points: %s" % (
    len(volumes), ", ".join("%s=%s" % (v[4][0] if v[4] else v[1], v[3]) for v in volumes),
    len(labels) or "none", len(folders) or "none"))
