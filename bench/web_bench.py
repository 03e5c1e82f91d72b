#!/usr/bin/env python3
"""web_bench.py - figures of the web page: its size, and its WebAssembly
core under Node against the native tool in the same run.

    bench/web_bench.py --native BUILD_DIR --page PAGE_DIR [--work DIR]
                       [--realworld DIR] [--runs N] [--large-runs N]

Prints:
  * the page folder's size and its gzipped size (each file by gzip -9, as a
    static host sends it), against 400 KiB and 200 KiB;
  * "d" and "c" (with -unsign on a signed cabinet) on every real cabinet
    in ../shared/realworld, MSZIP and stored (skipped when there is none),
    and on a 64 MiB MSZIP cabinet generated here (bench/large_cab.py): the
    median of
    the page's core (the page's own core.js under Node: the file's bytes
    copied into the core's memory, then the command, as the page's worker
    does once it holds them; bench/web_core.js) next to the median of the
    native process (started, reading the file, for "c" writing a fresh copy
    made untimed before each run), and their ratio against the goal of 2x.
A measurement, not a test: the exit status is 0 whatever the figures are,
and non-zero only when something could not be measured. Other options
(those of measure.py, from bench/run.sh) are ignored.
"""

import argparse
import gzip
import json
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True         # no __pycache__ in the checkout
import large_cab  # noqa: E402
import measure  # noqa: E402

PAGE_LIMIT = 400 * 1024
GZIP_LIMIT = 200 * 1024
TIME_GOAL = 2.0                        # the core in the page vs native


def page_size(page):
    total = packed = 0
    for name in sorted(os.listdir(page)):
        with open(os.path.join(page, name), "rb") as data:
            content = data.read()
        total += len(content)
        packed += len(gzip.compress(content, 9))
    return total, packed


def core_medians(node, page, jobs):
    """Runs bench/web_core.js on jobs; returns its instantiation time and
    one result per job."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                          "web_core.js")
    result = subprocess.run([node, script, os.path.join(page, "core.js"),
                             json.dumps(jobs)], capture_output=True)
    if result.returncode != 0:
        raise measure.BenchError("web_core.js failed:\n" +
                                 result.stderr.decode(errors="replace"))
    figures = json.loads(result.stdout)
    return figures["instantiation"], figures["results"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--native", required=True,
                        help="native Release build directory")
    parser.add_argument("--page", required=True, help="the built page")
    parser.add_argument("--work", help="scratch directory (default "
                        "NATIVE/bench-web)")
    parser.add_argument("--realworld", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared",
        "realworld"), help="folder of real cabinets")
    parser.add_argument("--runs", type=int, default=50,
                        help="timed runs per real cabinet (default 50)")
    parser.add_argument("--large-runs", type=int, default=5,
                        help="timed runs on the 64 MiB cabinet (default 5)")
    options, _ = parser.parse_known_args()

    native = os.path.abspath(options.native)
    page = os.path.abspath(options.page)
    work = os.path.abspath(options.work or os.path.join(native, "bench-web"))
    os.makedirs(work, exist_ok=True)
    tool = os.path.join(native, "setuphdr")
    generator = os.path.join(native, "setuphdr-sample")
    for path in (tool, generator, os.path.join(page, "core.js")):
        if not os.path.isfile(path):
            raise measure.BenchError("missing " + path)

    total, packed = page_size(page)
    print("Web page (%s)" % os.path.relpath(page))
    print("  folder %s B (%.1f KiB), gzipped %s B (%.1f KiB)" % (
        "{:,}".format(total), total / 1024, "{:,}".format(packed),
        packed / 1024))
    print("  goal: under %d KiB, gzipped under %d KiB: %s" % (
        PAGE_LIMIT // 1024, GZIP_LIMIT // 1024,
        measure.verdict(total < PAGE_LIMIT and packed < GZIP_LIMIT)))
    print()

    node = shutil.which("node") or shutil.which("nodejs")
    if node is None:
        print("WebAssembly core: skipped, no node")
        return 0

    # The files: the real MSZIP cabinets, then the generated one.
    cabs = []
    if os.path.isdir(options.realworld):
        for name in sorted(os.listdir(options.realworld)):
            cab = os.path.join(options.realworld, name)
            if name.lower().endswith(".cab"):
                mszip, signed = measure.cabinet_kind(cab)
                cabs.append((cab, mszip, signed, options.runs))
    real = len(cabs)
    setup = os.path.join(work, "bench.000")
    large = os.path.join(work, "large.cab")
    measure.run_checked([generator, setup, str(measure.LARGE_CAB_SETUP)])
    with open(setup, "rb") as data:
        large_cab.write_cabinet(large, data.read())
    cabs.append((large, True, False, options.large_runs))

    # Each figure of the core is taken right after the native one, so that
    # the load of a shared machine touches both alike.
    rows, results, instantiations = [], [], []
    copy = os.path.join(work, "change.cab")
    for cab, mszip, signed, runs in cabs:
        name = os.path.basename(cab)
        change = measure.CAB_CHANGE_ARGS + (["-unsign"] if signed else [])
        for args in (["d"], change):
            if args[0] == "d":
                seconds = measure.loop_medians([[tool, "d", cab]], runs, 1)
            else:
                seconds = measure.loop_medians(
                    [[tool] + args + [copy]], runs, 1,
                    prepare=[["/bin/cp", cab, copy]])
            rows.append(("%s (%s%s)" % (name, "MSZIP" if mszip else "stored",
                                        ", -unsign" if signed and
                                        args[0] == "c" else ""),
                         args[0], seconds[0]))
            instantiation, result = core_medians(node, page, [
                {"file": cab, "args": args + [name], "runs": runs}])
            instantiations.append(instantiation)
            results += result
    instantiation = min(instantiations)

    print("WebAssembly core under Node (%s) against the native tool, "
          "medians" % subprocess.run([node, "--version"], capture_output=True,
                                     text=True).stdout.strip())
    print("  the core: file bytes copied in, then the command; native: the "
          "whole process")
    print("  instantiation of core.js: %.1f ms (the least of its starts)" % (
        instantiation * 1e3))
    print("  %-52s %3s %12s %12s %7s" % ("cabinet", "", "native", "core",
                                         "ratio"))
    worst = 0.0
    for (name, command, seconds), result in zip(rows, results):
        if result["exit"] != 0:
            raise measure.BenchError("the core's %s on %s exited with %d: %s"
                                     % (command, name, result["exit"],
                                        result["first"]))
        value = measure.ratio(result["median"], seconds)
        worst = max(worst, value)
        print("  %-52s %3s %9.2f ms %9.2f ms %6.2fx" % (
            name, command, seconds * 1e3, result["median"] * 1e3, value))
    if real == 0:
        print("  (no real cabinet in %s)" % os.path.relpath(
            options.realworld))
    print("  goal: the core within %.0fx native on every one: %s (at most "
          "%.2fx)" % (TIME_GOAL, measure.verdict(worst <= TIME_GOAL), worst))
    print()
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except measure.BenchError as error:
        print("error: %s" % error, file=sys.stderr)
        sys.exit(1)
