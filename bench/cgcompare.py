#!/usr/bin/env python3
"""Compares contraction builds by simulated work instead of time: runs each
contractbench binary under valgrind's cachegrind on one map, side by side,
and prints instructions and simulated cache misses, in all and per function.
On a shared or virtual machine whose runs spread by 20-30 %, these counts
tell a change of a few percent that timings cannot. See bench/README.md.

    bench/cgcompare.py --time old/contractbench new/contractbench map.mp
"""
import argparse
import collections
import os
import shutil
import subprocess
import sys
import tempfile

EVENTS = ("Ir", "D1mr", "DLmr")  # instructions, first-level and last-level read misses
TITLES = {"Ir": "instructions", "D1mr": "L1 read misses", "DLmr": "L2 read misses"}


def parse(path):
    """Totals and per-function sums of a cachegrind output file."""
    names, totals, functions, fn = [], {}, collections.defaultdict(lambda: collections.Counter()), "?"
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("events:"):
                names = line.split()[1:]
            elif line.startswith("fn="):
                fn = line[3:].strip()
            elif line.startswith("summary:"):
                totals = dict(zip(names, map(int, line.split()[1:])))
            elif line[:1].isdigit():
                fields = line.split()
                counts = functions[fn]
                for name, value in zip(names, fields[1:]):
                    counts[name] += int(value)
    return totals, functions


def run(binary, mp, metric, cache, out, log):
    args = ["valgrind", "--tool=cachegrind", "--cache-sim=yes", "--cachegrind-out-file=" + out]
    args += ["--" + level + "=" + value for level, value in cache.items()]
    args += [binary, "--digest", "--" + metric, mp]
    return subprocess.Popen(args, stdout=subprocess.PIPE, stderr=log, text=True)


def ratio(a, b):
    return "%.3f" % (b / a) if a else "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    metric = parser.add_mutually_exclusive_group(required=True)
    metric.add_argument("--distance", dest="metric", action="store_const", const="distance")
    metric.add_argument("--time", dest="metric", action="store_const", const="time")
    parser.add_argument("--l1", default="49152,12,64", help="first-level data cache: size,ways,line bytes")
    parser.add_argument("--l2", default="2097152,16,64",
                        help="the last level simulated (default a 2 MB L2 per core; the shared L3 of a virtual "
                             "machine is not the cache a single run owns)")
    parser.add_argument("--functions", type=int, default=10, help="functions listed, by the first binary's instructions")
    parser.add_argument("binaries", nargs="+", help="two or more contractbench binaries")
    parser.add_argument("map", help="the .mp map")
    args = parser.parse_args()
    if len(args.binaries) < 2:
        parser.error("give at least two binaries")
    if not shutil.which("valgrind"):
        sys.exit("valgrind not found (apt-get install valgrind)")
    cache = {"D1": args.l1, "LL": args.l2}
    with tempfile.TemporaryDirectory(prefix="cgcompare-") as scratch:
        jobs = []
        for i, binary in enumerate(args.binaries):
            out = os.path.join(scratch, "run%d.out" % i)
            log = open(os.path.join(scratch, "run%d.log" % i), "w")
            jobs.append((out, log, run(binary, args.map, args.metric, cache, out, log)))
        results = []
        for out, log, job in jobs:
            stdout, _ = job.communicate()
            log.close()
            if job.returncode != 0:
                sys.exit("cachegrind run failed: see %s" % log.name)
            digests = [line.split()[-1] for line in stdout.splitlines() if line.strip().startswith("digest")]
            results.append((digests, *parse(out)))

    base_digests, base_totals, base_functions = results[0]
    print("map %s, %s metric; cache %s\n" % (os.path.basename(args.map), args.metric, cache))
    header = "| count | " + " | ".join(args.binaries) + " |"
    print(header)
    print("|---" * (len(args.binaries) + 1) + "|")
    for event in EVENTS:
        cells = ["%d (%s)" % (t.get(event, 0), ratio(base_totals.get(event, 0), t.get(event, 0))) if i else
                 str(t.get(event, 0)) for i, (_, t, _) in enumerate(results)]
        print("| %s | %s |" % (TITLES[event], " | ".join(cells)))
    same = all(d == base_digests for d, _, _ in results)
    print("| graph digest | %s |" % " | ".join(" ".join(d) for d, _, _ in results))
    print("\nThe built graphs are %s.\n" % ("the same" if same else "NOT the same"))

    top = sorted(base_functions, key=lambda fn: -base_functions[fn]["Ir"])[:args.functions]
    print("| function | " + " | ".join("%s: the first; the others / it" % TITLES[e] for e in EVENTS) + " |")
    print("|---" * (len(EVENTS) + 1) + "|")
    for fn in top:
        cells = []
        for event in EVENTS:
            old = base_functions[fn][event]
            # A function another build inlined away has no row of its own there.
            cells.append("%d: %s" % (old, ", ".join(ratio(old, f[fn][event]) if fn in f else "-"
                                                    for _, _, f in results[1:])))
        print("| %s | %s |" % (fn.split("(")[0], " | ".join(cells)))


if __name__ == "__main__":
    main()
