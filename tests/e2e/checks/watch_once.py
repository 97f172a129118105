"""The one-shot host's entries on this machine's real drives (watch_once.sh):
the warning with the whole report, the information entry with the drive
lines alone, the settings error's entry and stderr. Argument: the work
folder."""
import json, os, re, socket, sys
work = sys.argv[1]

def entries(name):
    path = os.path.join(work, name)
    return [json.loads(l) for l in open(path, encoding="utf-8")] if os.path.exists(path) else []

def fmt(n):
    return f"{n:,} バイト"

def near(text, actual, what, low=None, high=None):
    value = int(text.replace(",", ""))
    low = actual if low is None else low
    high = actual if high is None else high
    slack = max(high // 100, 1 << 24)
    assert low - slack <= value <= high + slack, f"{what}: {value} vs {low}..{high}"

root, data = os.statvfs("/"), os.statvfs(os.path.join(work, "data"))
cap_c = root.f_blocks * root.f_frsize
free_c = root.f_bavail * root.f_frsize
free_d = data.f_bavail * data.f_frsize

warn = entries("warn.json")
assert len(warn) == 1, warn
e = warn[0]
assert (e["source"], e["type"], e["category"], e["id"]) == ("Drivewarden", "warning", 0, 5610), e
lines = e["text"].split("\r\n")
assert len(lines) == 7, lines
name = socket.gethostname().split(".")[0].upper()[:15]
assert lines[0] == f"{name} のローカルドライブの空き領域は以下のとおりです。", lines[0]
m = re.fullmatch(r"・ C ドライブの空き領域: ([0-9,]+) バイト", lines[1]); assert m, lines[1]
# Read by the script just before and just after the run.
def around(name, now):
    seen = [int(l) for l in open(os.path.join(work, name))] + [now]
    return min(seen), max(seen)
near(m.group(1), free_c, "free C", *around("free_c.txt", free_c))
m = re.fullmatch(r"・ D ドライブの空き領域: ([0-9,]+) バイト", lines[2]); assert m, lines[2]
near(m.group(1), free_d, "free D", *around("free_d.txt", free_d))
assert lines[3] == "このうち、空き領域が指定されたしきい値以下のドライブは", lines[3]
assert lines[4] == f"C ドライブ : しきい値 99% ( 全容量 {fmt(cap_c)} )", (lines[4], cap_c)
assert lines[5] == "です。"
assert re.fullmatch(r"\d{4}/\d\d/\d\d( \d{1,2}:\d\d:\d\d)?", lines[-1]), lines[-1]

info = entries("info.json")
assert len(info) == 1 and info[0]["type"] == "information", info
text = info[0]["text"]
assert re.fullmatch(r"・ C ドライブの空き領域: [0-9,]+ バイト\r\n・ D ドライブの空き領域: [0-9,]+ バイト\r\n"
                    r"しきい値が設定されたドライブはありません。\r\n", text), text

bad = entries("bad.json")
assert [e["type"] for e in bad] == ["error"], bad
assert bad[0]["text"].startswith("サービス失敗 開始: "), bad
err = open(os.path.join(work, "bad.err"), encoding="utf-8").read().strip()
assert err == "設定ファイル Drivewarden.ini の [WARNING] INTERVAL=abc: 'abc' は整数ではありません", err
print("ok")
