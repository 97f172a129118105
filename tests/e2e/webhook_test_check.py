#!/usr/bin/python3
"""Checks what a test send of the applet's page 通知先 delivered, from the log
of tests/e2e/webhook_receiver.py.

  webhook_test_check.py LOG PATH HEADER=VALUE...

PATH must have had exactly one request: a JSON object of kind "test" naming
a computer, sent as application/json with each HEADER holding VALUE. Prints
what is wrong and exits 1, or prints "ok"."""
import json
import sys


def main():
    log, path = sys.argv[1:3]
    wanted = [a.split("=", 1) for a in sys.argv[3:]]
    with open(log, encoding="utf-8") as f:
        rs = [r for r in (json.loads(line) for line in f if line.strip()) if r["path"] == path]
    if len(rs) != 1:
        print("%d requests to %s" % (len(rs), path))
        sys.exit(1)
    faults = []
    try:
        body = json.loads(rs[0]["body"])
    except ValueError as e:
        print("body is not JSON: %s" % e)
        sys.exit(1)
    if body.get("kind") != "test" or not body.get("computer"):
        faults.append("kind/computer %r %r" % (body.get("kind"), body.get("computer")))
    headers = dict((k.lower(), v) for k, v in rs[0]["headers"])
    if not headers.get("content-type", "").startswith("application/json"):
        faults.append("content type %r" % headers.get("content-type"))
    for name, value in wanted:
        if headers.get(name.lower()) != value:
            faults.append("header %s %r" % (name, headers.get(name.lower())))
    print("; ".join(faults) if faults else "ok")
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
