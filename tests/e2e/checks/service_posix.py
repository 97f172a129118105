"""The entries of service_posix.sh's runs. Arguments: the events file and
what ran: "first-check" (the information entry of the first check) or
"failed-start" (the start failure entry, whole)."""
import json, sys

events = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
assert len(events) == 1, events
e = events[0]
if sys.argv[2] == "first-check":
    assert e["source"] == "Drivewarden" and e["id"] == 5610 and e["type"] == "information", e
    assert "・ C ドライブの空き領域: " in e["text"], e
elif sys.argv[2] == "failed-start":
    assert e == {"source": "Drivewarden", "type": "error", "category": 0, "id": 0,
                 "text": "サービス失敗 開始: 設定ファイル Drivewarden.ini の [WARNING] INTERVAL=x: 'x' は整数ではありません"}, e
else:
    raise SystemExit("service_posix.py: unknown check " + sys.argv[2])
