#!/usr/bin/env python3
"""measure.py - start-up, large-file and cabinet figures of setuphdr, printed
as a table.

Run by bench/run.sh after it has built the Release binaries:

    bench/measure.py --native BUILD_DIR [--windows BUILD_DIR] [--work DIR]
                     [--runs N] [--large-runs N] [--cab-runs N]
                     [--realworld DIR]

Prints, side by side:
  * user-space instructions of one whole run (valgrind --tool=callgrind),
    for "setuphdr d" on the sample, "setuphdr c" on a copy of it and a
    minimal C program (int main(void){return 0;}, cc's default flags,
    dynamically linked) compiled in the same run;
  * wall-clock medians of many runs of the same three (hyperfine when
    installed, otherwise a posix_spawn/wait4 loop here);
  * for a 64 MiB setup file: the wall-clock median of "setuphdr d" next to
    "cat FILE > /dev/null", and the peak resident memory of both;
  * for the largest real cabinet (the biggest *.cab in ../shared/realworld
    beside the checkout; skipped when there is none): the instructions of
    "setuphdr d CAB" next to cabextract writing the setup file to stdout,
    and the wall-clock median of "setuphdr c" on a fresh copy (made before
    each run, outside the timing) next to "cabextract -t CAB";
  * for every real MSZIP cabinet there: the instructions of "setuphdr c"
    (with -unsign on a signed one) on a fresh copy next to
    "cabextract -t CAB", which decodes every block as the change must;
  * for MSZIP cabinets of 10,000 and 40,000 one-byte blocks generated
    here (bench/tiny_cab.py): the instructions of "setuphdr c" on a fresh
    copy next to "cabextract -t CAB";
  * for a 64 MiB MSZIP cabinet generated here (bench/large_cab.py): the
    peak resident memory of "setuphdr d", against the bytes up to the end
    of the setup file's last block;
  * "setuphdr l" on a folder of 2,000 cabinets: its instructions against
    the sum of "setuphdr d" on each, its peak memory against a folder of
    20, and the files per second (bench/list_bench.py);
  * the sizes of the Linux binary and the .exe, and the .exe's imports.
Each figure with a goal is followed by whether it holds. This is a
measurement, not a test: the exit status is 0 whatever the figures are, and
non-zero only when something could not be measured.
"""

import argparse
import json
import os
import platform
import re
import shlex
import shutil
import statistics
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True         # no __pycache__ in the checkout
import large_cab  # noqa: E402
import list_bench  # noqa: E402
import tiny_cab  # noqa: E402

LARGE_SIZE = 64 * 1024 * 1024          # bytes of the generated large file
RSS_ALLOWANCE = 2 * 1024 * 1024        # peak RSS goal: file size plus this
LARGE_TIME_GOAL = 1.3                  # "d" on the large file vs cat
EXE_SIZE_GOAL = 200 * 1024             # the .exe stays below this
SYSTEM_DLLS = {"KERNEL32.DLL", "SHLWAPI.DLL", "USER32.DLL", "MSVCRT.DLL"}
CHANGE_ARGS = ["c", "-arch", "StrongARM", "-vermin", "4.21", "-vermax", "5.2"]
CAB_CHANGE_ARGS = ["c", "-arch", "ARM_7TDMI", "-vermin", "6.1"]
CAB_TIME_GOAL = 3.0                    # "c" on a real cabinet vs cabextract -t
CAB_CHANGE_GOAL = 1.1                  # instructions of "c" vs cabextract -t
DISPLAY_RSS_GOAL = 16 * 1024 * 1024    # peak RSS of "d" on any cabinet
LARGE_CAB_SETUP = 40000                # setup file of the generated cabinet:
                                       # two blocks, the texts in the second
TINY_CAB_BLOCKS = (10000, 40000)       # one-byte MSZIP blocks of the
TINY_CAB_SETUP = 1000                  # generated tiny-block cabinets


class BenchError(Exception):
    """Something needed for a figure is missing or behaved wrongly."""


def run_checked(argv, **kwargs):
    """Runs argv, returns its CompletedProcess; raises BenchError on failure."""
    result = subprocess.run(argv, capture_output=True, **kwargs)
    if result.returncode != 0:
        raise BenchError("%s exited with %d:\n%s" % (
            " ".join(argv), result.returncode,
            result.stderr.decode(errors="replace")))
    return result


def build_minimal_c(work):
    """Compiles the minimal C program with cc's defaults; returns its path."""
    source = os.path.join(work, "minimal.c")
    binary = os.path.join(work, "minimal")
    with open(source, "w") as out:
        out.write("int main(void){return 0;}\n")
    cc = os.environ.get("CC", "cc")
    run_checked([cc, source, "-o", binary])
    # It is the dynamically linked baseline: make sure it is.
    headers = run_checked(["readelf", "-l", binary]).stdout.decode()
    if "Requesting program interpreter" not in headers:
        raise BenchError("%s is not dynamically linked" % binary)
    return binary


def spawn_and_wait(argv):
    """Runs argv with stdout to /dev/null; returns (seconds, rusage, status).
    posix_spawn (vfork underneath) keeps the cost of starting small and
    alike for every program measured."""
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, null, 1)])
        _, status, usage = os.wait4(pid, 0)
        elapsed = time.perf_counter() - start
    finally:
        os.close(null)
    return elapsed, usage, os.waitstatus_to_exitcode(status)


def callgrind_instructions(argv, work, repeats):
    """User-space instructions of whole runs of argv; returns the list."""
    counts = []
    out_file = os.path.join(work, "callgrind.out")
    for _ in range(repeats):
        run_checked(["valgrind", "--tool=callgrind", "-q",
                     "--callgrind-out-file=" + out_file] + argv)
        with open(out_file) as data:
            text = data.read()
        match = re.search(r"^(?:totals|summary):\s+(\d+)", text, re.M)
        if not match:
            raise BenchError("no instruction total in " + out_file)
        counts.append(int(match.group(1)))
    return counts


def quoted(argv):
    return " ".join(shlex.quote(part) for part in argv)


def hyperfine_medians(commands, runs, warmup, work, prepare=None):
    """Medians (seconds) of the commands, measured by hyperfine; prepare,
    when given, holds one command per command, run untimed before each of
    its runs."""
    export = os.path.join(work, "hyperfine.json")
    argv = ["hyperfine", "-N", "--style", "none", "--warmup", str(warmup),
            "--runs", str(runs), "--export-json", export]
    for command in prepare or []:
        argv += ["--prepare", quoted(command)]
    argv += [quoted(command) for command in commands]
    run_checked(argv)
    with open(export) as data:
        results = json.load(data)["results"]
    return [result["median"] for result in results]


def loop_medians(commands, runs, warmup, prepare=None):
    """Medians (seconds) of the commands, runs interleaved round by round so
    that drift of the machine touches all of them alike."""
    times = [[] for _ in commands]
    for round_number in range(warmup + runs):
        for index, command in enumerate(commands):
            if prepare:
                spawn_and_wait(prepare[index])
            elapsed, _, _ = spawn_and_wait(command)
            if round_number >= warmup:
                times[index].append(elapsed)
    return [statistics.median(samples) for samples in times]


def medians(commands, runs, warmup, work, use_hyperfine, prepare=None):
    if use_hyperfine:
        return hyperfine_medians(commands, runs, warmup, work, prepare)
    return loop_medians(commands, runs, warmup, prepare)


def peak_rss_kib(argv, work, repeats=3):
    """Largest peak resident set (KiB) over a few runs of argv.

    Linux carries the peak of the memory a process had before exec into
    ru_maxrss, so the runs start from a small parent: GNU time when it is
    installed, else a fork of this Python process (whose own size then sets
    a floor of some MiB under the figure)."""
    peaks = []
    gnu_time = "/usr/bin/time"
    for _ in range(repeats):
        if os.access(gnu_time, os.X_OK):
            report = os.path.join(work, "time.out")
            subprocess.run([gnu_time, "-f", "%M", "-o", report] + argv,
                           stdout=subprocess.DEVNULL, check=True)
            with open(report) as data:
                peaks.append(int(data.read().split()[-1]))
        else:
            pid = os.fork()
            if pid == 0:
                null = os.open(os.devnull, os.O_WRONLY)
                os.dup2(null, 1)
                os.execv(argv[0], argv)
            peaks.append(os.wait4(pid, 0)[2].ru_maxrss)
    return max(peaks)


def exe_imports(exe):
    """The DLL names the .exe imports, as objdump -p lists them."""
    dump = run_checked(["x86_64-w64-mingw32-objdump", "-p", exe]).stdout
    return re.findall(r"DLL Name:\s*(\S+)", dump.decode())


def expect_report(argv, needle):
    """Runs argv once and checks it succeeds and prints needle."""
    result = subprocess.run(argv, capture_output=True)
    if result.returncode != 0 or needle not in result.stdout:
        raise BenchError("%s: exit %d, output %r" % (
            " ".join(argv), result.returncode, result.stdout[:200]))


def verdict(holds):
    return "holds" if holds else "MISSED"


def ratio(value, base):
    return value / base if base else float("nan")


def largest_cab(folder):
    """The biggest *.cab in folder; None when there is none."""
    if not os.path.isdir(folder):
        return None
    cabs = [os.path.join(folder, name) for name in os.listdir(folder)
            if name.lower().endswith(".cab")]
    return max(cabs, key=os.path.getsize, default=None)


def real_cabinet_figures(tool, cab, work, options, use_hyperfine, how):
    """Instructions of "d" and wall clock of "c" on cab, each next to
    cabextract doing the nearest job."""
    copy = os.path.join(work, "change.cab")
    cabextract = shutil.which("cabextract")
    display = [tool, "d", cab]
    extract = [cabextract, "-q", "-p", "-F", "*.000", cab]
    change = [tool] + CAB_CHANGE_ARGS + [copy]
    test = [cabextract, "-q", "-t", cab]
    # Every timed run follows a fresh copy, so every change really rewrites
    # the cabinet; cabextract's runs follow the same copy to be alike.
    fresh = [shutil.which("cp") or "/bin/cp", cab, copy]

    # The measured runs must be the real work: the setup file found and
    # shown, and a change that cabextract tests clean.
    expect_report(display, b"Cabinet member: ")
    if run_checked(extract).stdout[:4] != b"MSCE":
        raise BenchError("%s: no setup file written" % " ".join(extract))
    shutil.copyfile(cab, copy)
    expect_report(change, b"Min ver set to 6.1 build 0\r\n")
    run_checked([cabextract, "-q", "-t", copy])

    repeats = options.callgrind_repeats
    counted = [("cabextract -q -p -F '*.000' CAB", extract),
               ("setuphdr d CAB", display)]
    counts = [callgrind_instructions(argv, work, repeats)
              for _, argv in counted]
    times = medians([test, change], options.cab_runs, 3, work, use_hyperfine,
                    prepare=[fresh, fresh])
    instruction_ratio = ratio(counts[1][0], counts[0][0])
    time_ratio = ratio(times[1], times[0])
    print("Real cabinet CAB = %s (%s B), the largest in %s" % (
        os.path.basename(cab), "{:,}".format(os.path.getsize(cab)),
        os.path.relpath(os.path.dirname(cab))))
    print("  user-space instructions (callgrind, %d runs each)" % repeats)
    print("  %-42s %14s %14s %s" % ("program", "instructions",
                                    "vs cabextract", "repeatable"))
    for (name, _), values in zip(counted, counts):
        print("  %-42s %14s %13.2fx %s" % (
            name, "{:,}".format(values[0]), ratio(values[0], counts[0][0]),
            "yes" if len(set(values)) == 1 else
            "no (%s..%s)" % (min(values), max(values))))
    print("  goal: setuphdr d <= cabextract -p: %s (%.2fx)" % (
        verdict(counts[1][0] <= counts[0][0]), instruction_ratio))
    print("  wall clock, median of %d runs (%s), each run after an untimed "
          "\"cp CAB copy\"" % (options.cab_runs, how))
    print("  %-42s %14s %14s" % ("program", "median", "vs cabextract"))
    print("  %-42s %11.2f ms" % ("cabextract -q -t CAB", times[0] * 1e3))
    print("  %-42s %11.2f ms %13.2fx" % ("setuphdr c -arch ARM_7TDMI "
                                         "-vermin 6.1 copy", times[1] * 1e3,
                                         time_ratio))
    print("  goal: setuphdr c <= %.0fx cabextract -t: %s (%.2fx)" % (
        CAB_TIME_GOAL, verdict(time_ratio <= CAB_TIME_GOAL), time_ratio))
    print()


def cabinet_kind(cab):
    """(whether a folder is MSZIP, whether the cabinet is signed), from its
    header and folder table."""
    with open(cab, "rb") as data:
        head = data.read(65536 + 64)
    folders, flags = struct.unpack_from("<H2xH", head, 26)
    position, folder_reserve, signed = 36, 0, False
    if flags & 4:
        header_reserve, folder_reserve = struct.unpack_from("<HB", head, 36)
        signed = (header_reserve == 20 and
                  struct.unpack_from("<I", head, 40)[0] == 0x00100000)
        position += 4 + header_reserve
    mszip = False
    for _ in range(folders):
        if position + 8 > len(head):
            break
        mszip = mszip or struct.unpack_from("<H", head, position + 6)[0] & 15 == 1
        position += 8 + folder_reserve
    return mszip, signed


def change_against_test(tool, extra, cab, work, repeats):
    """Instructions of "c" (with extra options) on fresh copies of cab, each
    copy checked by "cabextract -t", and of "cabextract -t" on cab."""
    cabextract = shutil.which("cabextract")
    copy = os.path.join(work, "change.cab")
    change = [tool] + CAB_CHANGE_ARGS + extra + [copy]
    counts = []
    for _ in range(repeats):
        shutil.copyfile(cab, copy)
        counts += callgrind_instructions(change, work, 1)
    run_checked([cabextract, "-q", "-t", copy])
    test = callgrind_instructions([cabextract, "-q", "-t", cab], work, repeats)
    return test, counts


def print_change_row(name, test, counts):
    """One row of a change table; returns its ratio."""
    value = ratio(counts[0], test[0])
    print("  %-44s %13s %13s %6.2fx %s" % (
        name, "{:,}".format(test[0]), "{:,}".format(counts[0]), value,
        "yes" if len(set(counts)) == 1 and len(set(test)) == 1 else "no"))
    return value


def change_instruction_figures(tool, folder, work, repeats):
    """Instructions of "c" on a fresh copy of each real MSZIP cabinet next
    to "cabextract -t" on it."""
    cabs = sorted(os.path.join(folder, name) for name in os.listdir(folder)
                  if name.lower().endswith(".cab"))
    rows = []
    for cab in cabs:
        mszip, signed = cabinet_kind(cab)
        if not mszip:
            continue
        test, counts = change_against_test(
            tool, ["-unsign"] if signed else [], cab, work, repeats)
        rows.append((os.path.basename(cab) + (" (-unsign)" if signed else ""),
                     test, counts))
    print("Change of each real MSZIP cabinet: user-space instructions "
          "(callgrind, %d runs each)" % repeats)
    if not rows:
        print("  skipped, no MSZIP cabinet in %s" % os.path.relpath(folder))
        print()
        return
    print("  %-44s %13s %13s %7s %s" % ("cabinet", "cabextract -t",
                                        "setuphdr c", "ratio", "repeatable"))
    worst = 0.0
    for name, test, counts in rows:
        worst = max(worst, print_change_row(name, test, counts))
    print("  goal: setuphdr c <= %.1fx cabextract -t on every one: %s "
          "(at most %.2fx)" % (CAB_CHANGE_GOAL,
                               verdict(worst <= CAB_CHANGE_GOAL), worst))
    print()


def tiny_cabinet_figures(tool, generator, work, repeats):
    """Instructions of "c" on fresh copies of generated cabinets of one-byte
    MSZIP blocks next to "cabextract -t" on them (bench/tiny_cab.py): the
    cost of each block beyond its bytes."""
    cabextract = shutil.which("cabextract")
    print("Change of a cabinet of one-byte MSZIP blocks: user-space "
          "instructions (callgrind, %d runs each)" % repeats)
    if cabextract is None:
        print("  skipped, cabextract is not installed")
        print()
        return
    setup = os.path.join(work, "tiny.000")
    run_checked([generator, setup, str(TINY_CAB_SETUP)])
    with open(setup, "rb") as data:
        setup_bytes = data.read()
    print("  %-44s %13s %13s %7s %s" % ("cabinet", "cabextract -t",
                                        "setuphdr c", "ratio", "repeatable"))
    worst = 0.0
    for blocks in TINY_CAB_BLOCKS:
        cab = os.path.join(work, "tiny-%d.cab" % blocks)
        tiny_cab.write_tiny_cabinet(cab, setup_bytes, blocks)
        test, counts = change_against_test(tool, [], cab, work, repeats)
        worst = max(worst, print_change_row(
            "%s blocks of 1 byte" % "{:,}".format(blocks), test, counts))
    print("  goal: setuphdr c <= %.1fx cabextract -t on each: %s "
          "(at most %.2fx)" % (CAB_CHANGE_GOAL,
                               verdict(worst <= CAB_CHANGE_GOAL), worst))
    print()


def large_cabinet_figures(tool, generator, work):
    """Peak resident memory of "d" on a generated 64 MiB MSZIP cabinet."""
    setup = os.path.join(work, "bench.000")
    cab = os.path.join(work, "large.cab")
    run_checked([generator, setup, str(LARGE_CAB_SETUP)])
    with open(setup, "rb") as data:
        prefix = large_cab.write_cabinet(cab, data.read(), LARGE_SIZE)
    display = [tool, "d", cab]
    expect_report(display, b"Cabinet member: BENCH.000\r\n")
    rows = [("setuphdr d large.cab", peak_rss_kib(display, work))]
    cabextract = shutil.which("cabextract")
    if cabextract:
        rows.append(("cabextract -q -p -F '*.000' large.cab", peak_rss_kib(
            [cabextract, "-q", "-p", "-F", "*.000", cab], work)))
    goal_kib = (prefix + RSS_ALLOWANCE) // 1024
    rss_tool = rows[0][1]
    print("Generated MSZIP cabinet, %s B (setup file of %s B first in "
          "folder 0)" % ("{:,}".format(os.path.getsize(cab)),
                         "{:,}".format(LARGE_CAB_SETUP)))
    print("  %-42s %16s" % ("program", "peak RSS"))
    for name, kib in rows:
        print("  %-42s %12s KiB" % (name, "{:,}".format(kib)))
    print("  setup file's folder prefix (start of the cabinet to the end of "
          "its last block): %s B" % "{:,}".format(prefix))
    print("  goal: peak RSS <= prefix + %d KiB (%s KiB): %s (prefix + %s KiB)"
          % (RSS_ALLOWANCE // 1024, "{:,}".format(goal_kib),
             verdict(rss_tool * 1024 <= prefix + RSS_ALLOWANCE),
             "{:,}".format(rss_tool - prefix // 1024)))
    print("  goal: peak RSS of setuphdr d <= %d MiB on any input: %s here"
          % (DISPLAY_RSS_GOAL >> 20,
             verdict(rss_tool * 1024 <= DISPLAY_RSS_GOAL)))
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--native", required=True,
                        help="native Release build directory")
    parser.add_argument("--windows", help="Windows Release build directory")
    parser.add_argument("--work", help="scratch directory (default NATIVE/bench)")
    parser.add_argument("--runs", type=int, default=300,
                        help="timed runs per small command (default 300)")
    parser.add_argument("--large-runs", type=int, default=20,
                        help="timed runs per large-file command (default 20)")
    parser.add_argument("--cab-runs", type=int, default=100,
                        help="timed runs per real-cabinet command "
                        "(default 100)")
    parser.add_argument("--callgrind-repeats", type=int, default=3)
    parser.add_argument("--realworld", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared",
        "realworld"), help="folder of real cabinets (default "
        "../shared/realworld beside the checkout)")
    options = parser.parse_args()

    native = os.path.abspath(options.native)
    work = os.path.abspath(options.work or os.path.join(native, "bench"))
    os.makedirs(work, exist_ok=True)
    tool = os.path.join(native, "setuphdr")
    generator = os.path.join(native, "setuphdr-sample")
    for path in (tool, generator, os.path.join(native, "sample.000")):
        if not os.path.isfile(path):
            raise BenchError("missing %s: build %s first" % (path, native))
    for program in ("valgrind", "readelf"):
        if shutil.which(program) is None:
            raise BenchError(program + " is not installed")

    # Inputs: the sample, a copy to change, the large file.
    sample = os.path.join(work, "sample.000")
    copy = os.path.join(work, "change.000")
    large = os.path.join(work, "large.000")
    shutil.copyfile(os.path.join(native, "sample.000"), sample)
    shutil.copyfile(sample, copy)
    run_checked([generator, large, str(LARGE_SIZE)])
    minimal = build_minimal_c(work)

    display = [tool, "d", sample]
    change = [tool] + CHANGE_ARGS + [copy]
    large_display = [tool, "d", large]
    cat = [shutil.which("cat") or "/bin/cat", large]

    # The measured runs must be the real work, not an error path. The change
    # writes the same bytes every time, so every run does the same work.
    expect_report(display, b"Architecture: 2577 (StrongARM)\r\n")
    expect_report(change, b"Min ver set to 4.21 build 0\r\n")
    expect_report(large_display, b"Architecture: 2577 (StrongARM)\r\n")

    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"],
                            capture_output=True, cwd=os.path.dirname(
                                os.path.abspath(__file__)))
    print("setuphdr start-up, large-file and cabinet figures")
    print("  commit %s, %s %s, %d CPUs, %s" % (
        commit.stdout.decode().strip() or "?", platform.system(),
        platform.machine(), os.cpu_count() or 0,
        time.strftime("%Y-%m-%d %H:%M")))
    print()

    # 1. Instructions.
    repeats = options.callgrind_repeats
    counted = [
        ("minimal C program (cc defaults, dynamic)", [minimal]),
        ("setuphdr d sample.000", display),
        ("setuphdr c -arch -vermin -vermax copy", change),
    ]
    counts = [callgrind_instructions(argv, work, repeats)
              for _, argv in counted]
    base = counts[0][0]
    print("User-space instructions per run (valgrind --tool=callgrind, "
          "%d runs each)" % repeats)
    print("  %-42s %14s %10s %s" % ("program", "instructions", "vs minimal",
                                    "repeatable"))
    for (name, _), values in zip(counted, counts):
        print("  %-42s %14s %9.2fx %s" % (
            name, "{:,}".format(values[0]), ratio(values[0], base),
            "yes" if len(set(values)) == 1 else
            "no (%s..%s)" % (min(values), max(values))))
    display_ratio = ratio(counts[1][0], base)
    print("  goal: setuphdr d <= minimal C program: %s (%.2fx)" % (
        verdict(counts[1][0] <= base), display_ratio))
    print()

    # 2. Wall clock of the small runs.
    use_hyperfine = shutil.which("hyperfine") is not None
    how = "hyperfine -N" if use_hyperfine else "posix_spawn/wait4 loop"
    small = medians([argv for _, argv in counted], options.runs, 20, work,
                    use_hyperfine)
    print("Wall clock, median of %d runs (%s; includes process start)" % (
        options.runs, how))
    print("  %-42s %14s %10s" % ("program", "median", "vs minimal"))
    for (name, _), seconds in zip(counted, small):
        print("  %-42s %11.3f ms %9.2fx" % (name, seconds * 1e3,
                                            ratio(seconds, small[0])))
    print()

    # 3. The large file.
    large_times = medians([large_display, cat], options.large_runs, 3, work,
                          use_hyperfine)
    rss_tool = peak_rss_kib(large_display, work)
    rss_cat = peak_rss_kib(cat, work)
    size_kib = LARGE_SIZE // 1024
    allowance_kib = RSS_ALLOWANCE // 1024
    time_ratio = ratio(large_times[0], large_times[1])
    print("Large setup file, %d MiB (texts near offset 64 KiB), median of "
          "%d runs (%s)" % (LARGE_SIZE >> 20, options.large_runs, how))
    print("  %-42s %14s %16s" % ("program", "wall median", "peak RSS"))
    print("  %-42s %11.2f ms %12s KiB" % ("setuphdr d large.000",
                                          large_times[0] * 1e3,
                                          "{:,}".format(rss_tool)))
    print("  %-42s %11.2f ms %12s KiB" % ("cat large.000 > /dev/null",
                                          large_times[1] * 1e3,
                                          "{:,}".format(rss_cat)))
    print("  goal: time <= %.1fx cat: %s (%.2fx)" % (
        LARGE_TIME_GOAL, verdict(time_ratio <= LARGE_TIME_GOAL), time_ratio))
    over = rss_tool - size_kib
    print("  goal: peak RSS <= file + %d KiB (%s KiB): %s (file + %s KiB)" % (
        allowance_kib, "{:,}".format(size_kib + allowance_kib),
        verdict(rss_tool <= size_kib + allowance_kib), "{:,}".format(over)))
    print()

    # 4. Cabinets.
    real = largest_cab(options.realworld)
    if real is None:
        print("Real cabinet: skipped, no *.cab in %s" % os.path.relpath(
            options.realworld))
        print()
    elif shutil.which("cabextract") is None:
        print("Real cabinet: skipped, cabextract is not installed")
        print()
    else:
        real_cabinet_figures(tool, real, work, options, use_hyperfine, how)
        change_instruction_figures(tool, options.realworld, work,
                                   options.callgrind_repeats)
    tiny_cabinet_figures(tool, generator, work, options.callgrind_repeats)
    large_cabinet_figures(tool, generator, work)
    cabs = [os.path.join(options.realworld, name)
            for name in sorted(os.listdir(options.realworld))
            if name.endswith(".cab")] if os.path.isdir(options.realworld) else []
    list_bench.list_figures(tool, cabs + [os.path.join(native, "sample.cab")],
                            work, sys.modules[__name__])

    # 5. Binaries.
    print("Binaries")
    print("  %-42s %14s" % ("Linux setuphdr (static, stripped)",
                            "{:,} B".format(os.path.getsize(tool))))
    exe = os.path.join(os.path.abspath(options.windows), "setuphdr.exe") \
        if options.windows else None
    if exe and os.path.isfile(exe):
        exe_size = os.path.getsize(exe)
        print("  %-42s %14s  (%.1f KiB)" % ("Windows setuphdr.exe",
                                            "{:,} B".format(exe_size),
                                            exe_size / 1024))
        print("  goal: .exe < %d KiB: %s" % (EXE_SIZE_GOAL // 1024,
                                             verdict(exe_size < EXE_SIZE_GOAL)))
        if shutil.which("x86_64-w64-mingw32-objdump"):
            imports = exe_imports(exe)
            extra = [name for name in imports
                     if name.upper() not in SYSTEM_DLLS]
            print("  .exe imports: %s" % ", ".join(imports))
            print("  goal: only KERNEL32, SHLWAPI, USER32, msvcrt: %s%s" % (
                verdict(not extra),
                "" if not extra else " (also %s)" % ", ".join(extra)))
        else:
            print("  .exe imports: not listed (no x86_64-w64-mingw32-objdump)")
    else:
        print("  Windows setuphdr.exe: not built (no mingw-w64)")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchError as error:
        print("error: %s" % error, file=sys.stderr)
        sys.exit(1)
