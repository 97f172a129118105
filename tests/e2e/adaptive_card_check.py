#!/usr/bin/python3
"""Checks chat alert bodies the way the services that take them read them.

  adaptive_card_check.py teams FILE...   the Teams Workflows message: type
      "message", one attachment of content type
      application/vnd.microsoft.card.adaptive whose content validates against
      the Adaptive Card 1.4.0 schema (tests/peers/adaptive-cards) with a
      version of 1.4 or lower
  adaptive_card_check.py slack FILE...   Slack's message: a "text" fallback,
      at most 50 blocks, a header of plain_text up to 150 characters, section
      texts up to 3,000 characters

Prints one line per fault and exits 1 when there is any."""
import json
import os
import sys

import jsonschema

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA = os.path.join(HERE, "..", "peers", "adaptive-cards", "1.4.0", "adaptive-card.json")


def check_teams(body, faults):
    if body.get("type") != "message":
        faults.append("type is not 'message'")
    attachments = body.get("attachments")
    if not isinstance(attachments, list) or len(attachments) != 1:
        faults.append("not exactly one attachment")
        return
    attachment = attachments[0]
    if attachment.get("contentType") != "application/vnd.microsoft.card.adaptive":
        faults.append("content type %r" % attachment.get("contentType"))
    card = attachment.get("content")
    if not isinstance(card, dict):
        faults.append("no card")
        return
    with open(SCHEMA, encoding="utf-8") as f:
        schema = json.load(f)
    validator = jsonschema.Draft6Validator(schema)
    for error in validator.iter_errors(card):
        faults.append("schema: %s at %s" % (error.message[:200], list(error.absolute_path)))
    version = card.get("version", "")
    try:
        parts = tuple(int(p) for p in version.split("."))
    except ValueError:
        parts = (99,)
    if parts > (1, 4):
        faults.append("version %r above 1.4" % version)


def check_slack(body, faults):
    if not isinstance(body.get("text"), str) or not body["text"]:
        faults.append("no text fallback")
    blocks = body.get("blocks")
    if not isinstance(blocks, list) or not blocks or len(blocks) > 50:
        faults.append("blocks: not 1 to 50")
        return
    for i, block in enumerate(blocks):
        kind = block.get("type")
        text = block.get("text") or {}
        if kind == "header":
            if text.get("type") != "plain_text" or len(text.get("text", "")) > 150:
                faults.append("block %d: header not plain_text up to 150 characters" % i)
        elif kind == "section":
            if text.get("type") not in ("mrkdwn", "plain_text"):
                faults.append("block %d: section text type %r" % (i, text.get("type")))
            if not text.get("text") or len(text["text"]) > 3000:
                faults.append("block %d: section text of %d characters" % (i, len(text.get("text", ""))))
        else:
            faults.append("block %d: unexpected type %r" % (i, kind))


def main():
    kind, files = sys.argv[1], sys.argv[2:]
    faults = []
    for path in files:
        with open(path, encoding="utf-8") as f:
            body = json.load(f)
        mine = []
        (check_teams if kind == "teams" else check_slack)(body, mine)
        faults += ["%s: %s" % (path, m) for m in mine]
    for fault in faults:
        print(fault)
    sys.exit(1 if faults or not files else 0)


if __name__ == "__main__":
    main()
