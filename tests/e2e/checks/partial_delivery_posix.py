"""The envelopes the greylisting server logged (the argument): the first
attempt to b alone, the retry to a alone, nobody twice."""
import json, sys
envelopes = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
tos = [e["to"] for e in envelopes]
assert tos == [["b@example.jp"], ["a@example.jp"]], tos
print("partial_delivery_posix: first to %s, retry to %s" % (tos[0], tos[1]))
