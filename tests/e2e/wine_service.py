"""The installed service under Wine's Service Control Manager, from Python:
wine commands with their output in files (never a pipe: Wine's system
processes inherit the handles of the command that starts them), the
service's state, bounded waits for a state, start and stop.

The scripts set up the prefix and install the service first (the shell
library tests/e2e/lib/wine.sh); WINEPREFIX and the rest come from the
environment."""

import os
import subprocess
import time

from e2e_lib import CaseFailure

SERVICE = "Drivewarden"


class WineService:
    def __init__(self, work):
        self.work = work

    def wine(self, *args, name="wine", timeout=60):
        """A wine command, its output in work/NAME.txt; (rc, output). A
        command still running after `timeout` s is killed (rc -1)."""
        path = os.path.join(self.work, name + ".txt")
        with open(path, "wb") as out:
            try:
                rc = subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                    timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                rc = -1
        with open(path, encoding="utf-8", errors="replace") as f:
            return rc, f.read()

    def state(self):
        _, out = self.wine("sc", "query", SERVICE, name="query", timeout=30)
        for line in out.splitlines():
            if "STATE" in line:
                return line.split()[-1]
        return "?"

    def wait_state(self, want, timeout):
        end = time.monotonic() + timeout
        while True:
            s = self.state()
            if s == want or time.monotonic() >= end:
                return s == want
            time.sleep(0.2)

    def ensure_stopped(self, case=None):
        if self.state() == "STOPPED":
            return True
        for _ in range(30):
            self.wine("sc", "stop", SERVICE, name="stop-cleanup", timeout=30)
            if self.wait_state("STOPPED", 5):
                return True
        if case:
            case.expect(False, "the service could not be stopped")
        return False

    def start(self, case, *parameters):
        """sc start, with the service's start parameters; a service still
        running (its automatic start) is stopped and started again."""
        rc, out = self.wine("sc", "start", SERVICE, *parameters, name="start", timeout=60)
        if "1060" in out:
            raise CaseFailure("the service is not registered: " + out.strip())
        if "1056" in out:
            self.ensure_stopped(case)
            rc, out = self.wine("sc", "start", SERVICE, *parameters, name="start", timeout=60)
        return out

    def stop(self):
        return self.wine("sc", "stop", SERVICE, name="stop", timeout=30)


def wait_until(predicate, timeout, step=0.2):
    """Polls `predicate` until it holds; False after `timeout` s."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return bool(predicate())
