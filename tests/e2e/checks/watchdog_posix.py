#!/usr/bin/python3
"""The notifications of a healthy run: READY=1 once, before the first
check's status; WATCHDOG=1 at half the 1 s interval, none while the main
loop hangs after the SIGHUP, back after it; STOPPING=1 at SIGTERM.

  watchdog_posix.py NOTIFY_LOG HUP_TIME TERM_TIME
"""
import json, sys
msgs = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8")]
hup, term = float(sys.argv[2]), float(sys.argv[3])
def times(pred):
    return [m["t"] for m in msgs if pred(m["m"])]
ready = times(lambda m: "READY=1" in m.split("\n"))
assert len(ready) == 1, ("READY=1 once", msgs)
checks = [m for m in msgs if m["m"].startswith("STATUS=Last check")]
assert len(checks) == 2, ("a status per check: the first and the SIGHUP's", checks)
assert ready[0] <= checks[0]["t"], "READY=1 comes before the first check's status"
first = checks[0]["m"]
assert "information, 0 of " in first and "drives below threshold" in first, first
pings = times(lambda m: m == "WATCHDOG=1")
before = [t for t in pings if ready[0] <= t < hup]
assert len(before) >= 3, ("pings before the hang", before)
gaps = [b - a for a, b in zip(before, before[1:])]
assert max(gaps) < 0.95, ("pings at half the 1 s interval before the hang", gaps)
assert min(gaps) > 0.2, ("no flood of pings", gaps)
during = [t for t in pings if hup + 0.3 < t < hup + 2.7]
assert not during, ("no ping while the main loop hangs", [t - hup for t in during])
after = [t for t in pings if hup + 2.7 <= t < term]
assert len(after) >= 2, ("the pings come back once the loop runs again", [t - hup for t in after])
assert checks[1]["t"] > hup + 2.7, "the SIGHUP's check ran after the hang"
stopping = times(lambda m: m == "STOPPING=1")
assert len(stopping) == 1 and stopping[0] >= term, ("STOPPING=1 at the stop", stopping)
late = [t for t in pings if t > stopping[0] + 1.0]
assert not late, "no pings once stopping"
print("watchdog_posix: %d pings before the hang (largest gap %.2f s), none in the 3 s hang, %d after" %
      (len(before), max(gaps), len(after)))
