#!/usr/bin/python3
"""What the heartbeat receiver saw, and what the service wrote.

  heartbeat_posix.py requests LOG SERVER SECRET KIND...
      SERVER logged exactly one request per KIND, in order: "ok" a POST to
      /hb/SECRET, "fail" a POST to /hb/SECRET/fail, each with a JSON body
      naming the computer, the outcome (success / failure) and the time;
      with --tail as the first KIND, the last requests are those KINDs (a
      service manager may have started the service more than once)
  heartbeat_posix.py count LOG SERVER
      how many requests SERVER logged
  heartbeat_posix.py secret-free SECRET FILE...
      no FILE holds SECRET (as written, nor its path below /hb/)
  heartbeat_posix.py entries EVENTS START TYPE
      how many entries of TYPE begin with START (UTF-8)
"""
import json
import re
import sys


def requests(log, server):
    with open(log, encoding="utf-8") as f:
        return [r for r in (json.loads(line) for line in f if line.strip()) if r["server"] == server]


def main(argv):
    command = argv[1]
    if command == "requests":
        log, server, secret, kinds = argv[2], argv[3], argv[4], argv[5:]
        seen = requests(log, server)
        if kinds and kinds[0] == "--tail":
            kinds = kinds[1:]
            seen = seen[-len(kinds):] if len(seen) >= len(kinds) else seen
        assert len(seen) == len(kinds), ["%s %s" % (r["method"], r["path"]) for r in seen]
        for r, kind in zip(seen, kinds):
            path = "/hb/" + secret + ("/fail" if kind == "fail" else "")
            assert r["method"] == "POST", r
            assert r["path"] == path, (r["path"], path)
            headers = {k.lower(): v for k, v in r["headers"]}
            assert headers.get("content-type") == "application/json", headers
            body = json.loads(r["body"])
            assert body["outcome"] == ("failure" if kind == "fail" else "success"), body
            assert body["computer"], body
            assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", body["time"]), body
    elif command == "count":
        print(len(requests(argv[2], argv[3])))
    elif command == "secret-free":
        secret = argv[2].encode()
        for name in argv[3:]:
            with open(name, "rb") as f:
                data = f.read()
            assert secret not in data, "%s holds the secret" % name
            assert b"/hb/" not in data, "%s holds the URL's path" % name
    elif command == "entries":
        start, kind = argv[3], argv[4]
        n = 0
        with open(argv[2], encoding="utf-8") as f:
            for line in f:
                if line.strip():
                    e = json.loads(line)
                    n += e["type"] == kind and e["text"].startswith(start)
        print(n)
    else:
        raise SystemExit("unknown command " + command)


if __name__ == "__main__":
    main(sys.argv)
