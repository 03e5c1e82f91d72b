"""list_bench.py - the figures of "setuphdr l" on a folder of many
cabinets, for measure.py.

A folder of LIST_FILES cabinets is made of hard links to the real cabinets
beside the checkout and to the sample cabinet the build generates, in turn,
so each name costs what its source costs. Printed:
  * the user-space instructions of "setuphdr l" on the folder, less one
    empty run ("setuphdr l" on an empty folder), against the sum over the
    files of "setuphdr d FILE" less the same empty run: l may add no work
    per file beyond that of d (goal: at most LIST_COST_GOAL times);
  * the peak resident memory of l on the folder against l on a folder of
    LIST_FEW_FILES of the same files (goal: at most LIST_RSS_GOAL times);
  * the files listed per second (wall clock, median of a few runs).
"""

import os
import statistics
import time

LIST_FILES = 2000
LIST_FEW_FILES = 20
LIST_COST_GOAL = 1.1
LIST_RSS_GOAL = 1.2


def make_folder(folder, sources, count):
    """count hard links to the sources, in turn; returns each link's source."""
    os.makedirs(folder, exist_ok=True)
    made = []
    for i in range(count):
        source = sources[i % len(sources)]
        link = os.path.join(folder, "%05d-%s" % (i, os.path.basename(source)))
        if not os.path.exists(link):
            os.link(source, link)
        made.append(source)
    return made


def list_figures(tool, sources, work, measure):
    """Prints the figures; measure is measure.py (its helpers are used)."""
    many = os.path.join(work, "list-many")
    few = os.path.join(work, "list-few")
    empty = os.path.join(work, "list-empty")
    os.makedirs(empty, exist_ok=True)
    made = make_folder(many, sources, LIST_FILES)
    make_folder(few, sources, LIST_FEW_FILES)

    listing = [tool, "l", many]
    rows = measure.run_checked(listing).stdout.count(b"\r\n") - 1
    if rows != LIST_FILES:
        raise measure.BenchError("l listed %d rows of %d files" %
                                 (rows, LIST_FILES))

    def count(argv):
        return measure.callgrind_instructions(argv, work, 1)[0]

    start = count([tool, "l", empty])
    per_source = {source: count([tool, "d", source]) - start
                  for source in sorted(set(made))}
    d_sum = sum(per_source[source] for source in made)
    l_work = count(listing) - start
    cost = measure.ratio(l_work, d_sum)

    rss_many = measure.peak_rss_kib(listing, work)
    rss_few = measure.peak_rss_kib([tool, "l", few], work)
    rss = measure.ratio(rss_many, rss_few)

    times = []
    for _ in range(5):
        began = time.perf_counter()
        measure.run_checked(listing)
        times.append(time.perf_counter() - began)
    seconds = statistics.median(times)

    print("Listing %d cabinets (hard links to %d real and generated ones)"
          % (LIST_FILES, len(per_source)))
    print("  user-space instructions (callgrind), less one empty run (%s):"
          % "{:,}".format(start))
    print("  %-42s %14s" % ("setuphdr l FOLDER", "{:,}".format(l_work)))
    print("  %-42s %14s" % ("sum of setuphdr d FILE", "{:,}".format(d_sum)))
    print("  goal: l <= %.1fx the sum of d: %s (%.3fx)" % (
        LIST_COST_GOAL, measure.verdict(cost <= LIST_COST_GOAL), cost))
    print("  peak RSS: %s KiB for %d files, %s KiB for %d" % (
        "{:,}".format(rss_many), LIST_FILES, "{:,}".format(rss_few),
        LIST_FEW_FILES))
    print("  goal: peak RSS <= %.1fx that of %d files: %s (%.2fx)" % (
        LIST_RSS_GOAL, LIST_FEW_FILES, measure.verdict(rss <= LIST_RSS_GOAL),
        rss))
    print("  wall clock, median of %d runs: %.1f ms, %s files/s" % (
        len(times), seconds * 1e3, "{:,.0f}".format(LIST_FILES / seconds)))
    print()
