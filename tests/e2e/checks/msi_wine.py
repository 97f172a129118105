"""The first check entry of the service msi_wine.sh installed: in Japanese
as on a Japanese system, in an English-locale prefix. Argument: the events
file."""
import json, sys
entries = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
checks = [e for e in entries if e["source"] == "Drivewarden" and e["id"] == 5610 and e["type"] in ("information", "warning")]
assert checks, entries
text = checks[0]["text"]
# Japanese as on a Japanese system: the report's own words, no '?' in their place.
assert "・ C ドライブの空き領域: " in text, text
assert "?" not in text, text
