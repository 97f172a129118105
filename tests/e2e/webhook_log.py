#!/usr/bin/python3
"""Reads the log of tests/e2e/webhook_receiver.py.

  webhook_log.py count LOG PATH          requests to PATH
  webhook_log.py gap LOG PATH            seconds between its first two requests
  webhook_log.py body LOG PATH N FILE    writes the Nth request's body (from 0) to FILE
  webhook_log.py json LOG PATH COMPUTER  checks the JSON object of the first request
                                         (schema, version, kind, computer, drive C:
                                         with bytes, both times) and prints its
                                         Authorization header
"""
import json
import sys


def requests(log, path):
    out = []
    with open(log, encoding="utf-8") as f:
        for line in f:
            if line.strip():
                r = json.loads(line)
                if r["path"] == path:
                    out.append(r)
    return out


def main():
    cmd, log, path = sys.argv[1:4]
    rs = requests(log, path)
    if cmd == "count":
        print(len(rs))
    elif cmd == "gap":
        print("%.2f" % (rs[1]["t"] - rs[0]["t"]) if len(rs) >= 2 else "none")
    elif cmd == "body":
        with open(sys.argv[5], "w", encoding="utf-8") as f:
            f.write(rs[int(sys.argv[4])]["body"])
    elif cmd == "json":
        body = json.loads(rs[0]["body"])
        faults = []
        if body.get("schema") != "quotawarden.alert" or body.get("version") != 1:
            faults.append("schema/version %r %r" % (body.get("schema"), body.get("version")))
        if body.get("kind") != "alert" or body.get("outcome") != "warning":
            faults.append("kind/outcome %r %r" % (body.get("kind"), body.get("outcome")))
        if body.get("computer") != sys.argv[4]:
            faults.append("computer %r" % body.get("computer"))
        t = body.get("time", {})
        if not t.get("utc", "").endswith("Z") or "T" not in t.get("local", ""):
            faults.append("time %r" % t)
        drives = [d for d in body.get("drives", []) if d.get("drive") == "C:"]
        if not drives or not isinstance(drives[0].get("freeBytes"), int) or drives[0].get("below") is not True:
            faults.append("drives %r" % body.get("drives"))
        if faults:
            print("; ".join(faults))
            sys.exit(1)
        headers = dict((k.lower(), v) for k, v in rs[0]["headers"])
        if not headers.get("content-type", "").startswith("application/json"):
            print("content type %r" % headers.get("content-type"))
            sys.exit(1)
        print(headers.get("authorization", ""))


if __name__ == "__main__":
    main()
