#!/usr/bin/env python3
"""Starts a Windows program under Wine through the test launcher
(tests/win/launch.cpp), and starts it again when a start failed before the
program ran.

On a loaded machine Wine now and then fails to start a program: the
launcher's CreateProcessA fails (error 1359), or Wine's loader fails before
the launcher runs. The launcher's exit-code file tells such a start from a
run: the launcher creates it before it starts the program and removes it
when the start fails, so a file that is absent afterwards means the program
never ran. Such a start is made again, ATTEMPTS times in all, after a short
pause; a run in which the program started is never repeated, whatever its
outcome.

As a command, for the tests that run a whole Windows program (the unit
tests under CTest, the packaged .exe):

  wine_start.py --wine LOADER --launcher LAUNCHER.exe [--cwd DIR]
                -- PROGRAM [ARG...]

runs PROGRAM with the ARGs (quoted for the Microsoft C runtime), copies its
standard output and error to this command's once it has ended, and exits
with its exit code (255 for a code above 255), or with 3 after a line on
standard error when it could not be started or its exit code is not known.
WINEDEBUG and WINEPREFIX come from the environment; WINEPREFIX must be set,
so that no test makes or uses a prefix in the home folder (2 otherwise).
Standard library only.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

# Starts in all, and the pause before the second one (doubled before each
# further one): 1 + 2 + 4 s at most.
ATTEMPTS = 4
FIRST_PAUSE = 1.0


class NotStarted(RuntimeError):
    """Every start failed before the program ran."""


def prefix_problem():
    """None when WINEPREFIX names the prefix Wine is to use, else why not:
    without it Wine would use (and make) one in the home folder."""
    if os.environ.get("WINEPREFIX"):
        return None
    return ("WINEPREFIX is not set: the tests run Wine in a prefix of their "
            "own, never in the home folder")


def windows_path(path):
    """Wine's Z: drive maps the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def start(run, exit_file, reset=None, note=None):
    """Calls run() until the program it has the launcher start has started,
    at most ATTEMPTS times. run starts Wine with the launcher once, with
    exit_file as the launcher's exit-code file, and returns a result of its
    choosing; reset, when given, is called before each further start to
    clear what the failed one left (its captured output); note, when given,
    is called with a line for each start made again. Returns (result of the
    last run, exit code), the code None when the program started but its
    code was not recorded. Raises NotStarted when no start ran the
    program. Removes a stale exit_file first."""
    if os.path.lexists(exit_file):
        os.remove(exit_file)
    pause = FIRST_PAUSE
    for attempt in range(1, ATTEMPTS + 1):
        result = run()
        if os.path.exists(exit_file):
            with open(exit_file, "rb") as f:
                text = f.read()
            return result, int(text) if text.isdigit() else None
        if attempt == ATTEMPTS:
            break
        if note:
            note("note: start %d of %d did not run the program; starting "
                 "it again in %g s" % (attempt, ATTEMPTS, pause))
        time.sleep(pause)
        pause *= 2
        if reset:
            reset()
    raise NotStarted("Wine did not start the program in %d attempts"
                     % ATTEMPTS)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine", required=True)
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--cwd")
    parser.add_argument("program")
    parser.add_argument("args", nargs=argparse.REMAINDER)
    opts = parser.parse_args()
    if prefix_problem():
        parser.error(prefix_problem())
    program = os.path.abspath(opts.program)
    line = subprocess.list2cmdline([os.path.basename(program)] + opts.args)
    control = tempfile.mkdtemp(prefix="setuphdr-wine-start.")
    try:
        cmd_file = os.path.join(control, "cmdline")
        exit_file = os.path.join(control, "exitcode")
        with open(cmd_file, "wb") as f:
            f.write(line.encode("latin-1"))
        argv = [opts.wine, os.path.abspath(opts.launcher), "std",
                windows_path(program), windows_path(cmd_file),
                windows_path(exit_file)]
        # Files, not pipes: a wineserver started by this run inherits the
        # descriptors and would hold a pipe open for seconds after the end.
        with open(os.path.join(control, "stdout"), "w+b") as out, \
                open(os.path.join(control, "stderr"), "w+b") as err:
            def run():
                return subprocess.run(argv, cwd=opts.cwd,
                                      stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=err).returncode

            def reset():
                for f in (out, err):
                    f.seek(0)
                    f.truncate()

            def note(text):
                print(text, file=sys.stderr, flush=True)

            try:
                _, code = start(run, exit_file, reset, note)
            except NotStarted as error:
                code, failure = None, str(error)
            else:
                failure = "the program ran, but its exit code is unknown"
            for f, stream in ((out, sys.stdout), (err, sys.stderr)):
                f.seek(0)
                stream.flush()
                shutil.copyfileobj(f, stream.buffer)
                stream.flush()
        if code is None:
            print("wine_start.py: %s" % failure, file=sys.stderr)
            return 3
        return min(code, 255)
    finally:
        shutil.rmtree(control, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
