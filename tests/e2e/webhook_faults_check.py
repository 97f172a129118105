#!/usr/bin/python3
"""Checks of tests/e2e/webhook_faults_posix.sh on the log of
tests/e2e/webhook_receiver.py.

  webhook_faults_check.py names LOG COMPUTER TEAMS SLACK JSON
      the first request to each path (a Teams card, Slack blocks, the JSON
      object) names COMPUTER whole once parsed (Slack: with &, < and >
      written as entities); prints nothing and exits 0, or the faults and 1
  webhook_faults_check.py kind LOG PATH [N]
      prints the "kind" of the Nth (from 0, default 0) JSON object posted to PATH
  webhook_faults_check.py computer LOG PATH
      prints the "computer" of the first JSON object posted to PATH
"""
import json
import sys


def first(log, path, n=0):
    with open(log, encoding="utf-8") as f:
        for line in f:
            if line.strip():
                r = json.loads(line)
                if r["path"] == path:
                    if n == 0:
                        return json.loads(r["body"])
                    n -= 1
    raise SystemExit("no such request to %s" % path)


def strings(value):
    if isinstance(value, str):
        yield value
    elif isinstance(value, list):
        for v in value:
            yield from strings(v)
    elif isinstance(value, dict):
        for v in value.values():
            yield from strings(v)


def main():
    cmd, log = sys.argv[1:3]
    if cmd == "kind":
        print(first(log, sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else 0).get("kind"))
        return 0
    if cmd == "computer":
        print(first(log, sys.argv[3]).get("computer"))
        return 0
    computer, teams, slack, obj = sys.argv[3:7]
    faults = []
    card = first(log, teams)["attachments"][0]["content"]
    facts = [f for b in card["body"] if b.get("type") == "FactSet" for f in b["facts"]]
    if not facts or facts[0]["value"] != computer:
        faults.append("Teams: the computer fact is %r" % (facts[0]["value"] if facts else None))
    escaped = computer.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    blocks = first(log, slack)
    if not any(escaped in s for s in strings(blocks["blocks"])):
        faults.append("Slack: no block holds %r" % escaped)
    if escaped not in blocks.get("text", ""):
        faults.append("Slack: the fallback is %r" % blocks.get("text"))
    if first(log, obj).get("computer") != computer:
        faults.append("JSON: the computer is %r" % first(log, obj).get("computer"))
    for f in faults:
        print(f)
    return 1 if faults else 0


sys.exit(main())
