#!/usr/bin/env python3
"""The ratio table of bench/containers_bench.sh's results (medians where a
method ran more than once at one N).

Usage: bench/containers_ratios.py RESULTS...
"""
import collections
import statistics
import sys

runs = collections.defaultdict(list)
stalled = collections.defaultdict(list)  # "compose N stalled|failed STARTED"
for path in sys.argv[1:]:
    for line in open(path):
        words = line.split()
        if not words or words[0].startswith("#"):
            continue
        if len(words) > 2 and words[2] in ("stalled", "failed"):
            stalled[(words[0], int(words[1]))].append(words[2] + ", " + words[3])
        else:
            runs[(words[0], int(words[1]))].append([float(w) for w in words[2:]])


def median(method, n, column):
    values = [r[column] for r in runs.get((method, n), []) if len(r) > column]
    return statistics.median(values) if values else float("nan")


methods = ("agent", "cli", "api", "compose", "floor")
print("%5s %9s %9s %9s %9s %9s | %9s %9s %9s %9s | %8s %8s %8s %9s | %s" % (
    "N", "agent ms", "cli ms", "api ms", "compose", "floor", "agent/cli", "agent/api",
    "agent/cmp", "agent/flr", "agent ms", "redis ms", "dockerd", "agent RSS",
    "last 20 / first 20 per container"))
print("%5s %9s %9s %9s %9s %9s | %9s %9s %9s %9s | %8s %8s %8s %9s | %s" % (
    "", "", "", "", "ms", "ms", "", "", "", "", "CPU/ctr", "CPU/ctr", "CPU/ctr", "KiB",
    ", ".join(methods)))
for n in sorted({n for (_, n) in list(runs) + list(stalled)}):
    t = {m: median(m, n, 0) for m in methods}
    spread = ", ".join("%.2f" % (median(m, n, 2) / median(m, n, 1)) for m in methods)
    print("%5d %9.0f %9.0f %9.0f %9.0f %9.0f | %9.3f %9.3f %9.3f %9.3f | %8.2f %8.2f %8.1f %9.0f | %s"
          % (n, t["agent"], t["cli"], t["api"], t["compose"], t["floor"],
             t["agent"] / t["cli"], t["agent"] / t["api"], t["agent"] / t["compose"],
             t["agent"] / t["floor"], median("agent", n, 3) / n, median("agent", n, 5) / n,
             median("agent", n, 6) / n, median("agent", n, 4), spread))
for (method, n), started in sorted(stalled.items()):
    print("%s at N=%d: %s of %d containers started" % (method, n, "; ".join(started), n))
