#!/usr/bin/python3
"""What the HTTPS test server saw (its log of requests, one JSON line each)
and what http_probe printed of it.

  http_requests.py count LOG SERVER
      print how many requests SERVER has logged
  http_requests.py sent-as-is OUTPUT BODY [--no-expect]
      OUTPUT is http_probe's of a POST to /echo carrying BODY with the
      headers X-First: 1 and X-Second: two words: the server saw the method,
      the body byte for byte and the headers in their order (and, with
      --no-expect, no Expect header)
  http_requests.py no-body LOG SERVER
      no request to SERVER carried a body
"""
import json
import sys


def requests(log):
    with open(log, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def main(argv):
    command = argv[1]
    if command == "count":
        print(sum(1 for r in requests(argv[2]) if r["server"] == argv[3]))
    elif command == "sent-as-is":
        with open(argv[2], "rb") as f:
            seen = json.loads(f.read().split(b"\n\n", 1)[1].decode("utf-8"))
        with open(argv[3], "rb") as f:
            sent = f.read().decode("utf-8")
        assert seen["method"] == "POST", seen
        assert seen["body"] == sent, (seen["body"], sent)
        names = [k for k, _ in seen["headers"]]
        assert names.index("X-First") < names.index("X-Second"), names
        assert ["X-Second", "two words"] in seen["headers"], seen["headers"]
        if "--no-expect" in argv[4:]:
            assert "Expect" not in names, names
    elif command == "no-body":
        for r in requests(argv[2]):
            assert r["server"] != argv[3] or r["body"] == "", r
    else:
        raise SystemExit("http_requests.py: unknown command " + command)


if __name__ == "__main__":
    main(sys.argv)
