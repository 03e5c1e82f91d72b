#!/usr/bin/env python3
"""Kills setuphdr at random moments of a cabinet change and checks that the
cabinet's name holds the whole old cabinet or the whole new one, never a
mix, never nothing.

  kill_test.py --tool PATH [--work DIR] [--runs N]

Each run starts from a fresh copy of a cabinet of about 16 MiB (MSZIP and
stored folders, built here), starts the change, waits a random time up to a
little more than an undisturbed change takes, and kills the tool: with
SIGKILL, which nothing can catch (a temporary file may be left beside the
cabinet, and is counted), and with SIGTERM, after which no temporary file
may be left. Standard library only (and cabinet_cases beside this file).
"""

import argparse
import glob
import os
import random
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cabinet_cases  # noqa: E402
import run_e2e  # noqa: E402

ARGS = ["c", "-arch", "ARM_7TDMI", "-vermin", "6.1"]


def cabinet():
    """A cabinet worth killing: the setup file first in an MSZIP folder,
    then about 16 MiB that compress, but not to nothing."""
    random.seed(7)
    words = [bytes(random.choice(b"abcdefghij") for _ in range(8))
             for _ in range(4000)]
    blob = b" ".join(random.choice(words) for _ in range(600000))
    return cabinet_cases.build_cab(
        [1, 1, 0], [(b"APP.000", run_e2e.SAMPLE, 0), (b"a.dll", blob[:3 << 20], 0),
                    (b"b.dll", blob, 1), (b"c.dat", blob[:4 << 20], 2)])


def temporaries(folder):
    return glob.glob(os.path.join(folder, ".setuphdr-*.tmp"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--work", default="kill-work")
    parser.add_argument("--runs", type=int, default=25)
    opts = parser.parse_args()
    tool = os.path.abspath(opts.tool)
    work = os.path.abspath(opts.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    target = os.path.join(work, "app.cab")

    old = cabinet()
    durations = []
    for _ in range(3):
        with open(target, "wb") as f:
            f.write(old)
        start = time.monotonic()
        proc = subprocess.run([tool] + ARGS + [target], capture_output=True)
        durations.append(time.monotonic() - start)
        if proc.returncode != 0:
            print("FAIL the undisturbed change: %d %r"
                  % (proc.returncode, proc.stderr))
            return 1
    with open(target, "rb") as f:
        new = f.read()
    if new == old:
        print("FAIL the change did not change the cabinet")
        return 1
    longest = max(durations)
    print("an undisturbed change takes %.0f ms" % (1000 * longest))

    failed = 0
    for kill in (signal.SIGKILL, signal.SIGTERM):
        outcomes = {"old": 0, "new": 0}
        left = 0
        for run in range(opts.runs):
            for stale in temporaries(work):
                os.unlink(stale)
            with open(target, "wb") as f:
                f.write(old)
            proc = subprocess.Popen([tool] + ARGS + [target],
                                    stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            time.sleep(random.uniform(0, 1.2 * longest))
            proc.send_signal(kill)
            proc.wait()
            with open(target, "rb") as f:
                now = f.read()
            outcome = "old" if now == old else "new" if now == new else None
            stray = temporaries(work)
            left += bool(stray)
            if outcome is None:
                failed += 1
                print("FAIL %s run %d: the cabinet is neither old nor new "
                      "(%d bytes)" % (kill.name, run, len(now)))
                continue
            outcomes[outcome] += 1
            if kill == signal.SIGTERM and stray:
                failed += 1
                print("FAIL %s run %d: left %s" % (kill.name, run, stray))
        print("%s: %d runs, old %d, new %d, temporary file left in %d"
              % (kill.name, opts.runs, outcomes["old"], outcomes["new"], left))
    print("%s" % ("all runs left the old or the new cabinet" if not failed
                  else "%d failures" % failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
