#!/usr/bin/python3
"""Ratio tables of a bench_primitives JSON run: time ours (the generic build)
/ time of each peer; then each CPU build (sse3, ssse3, sse41) / the generic
build and / each peer, side by side from the same run.

Usage: bench_primitives --benchmark_format=json > run.json
       python3 bench/primitives/ratios.py run.json [sizes...]
"""
import json
import sys
from collections import defaultdict

runs = json.load(open(sys.argv[1]))["benchmarks"]
sizes = sys.argv[2:] or ["512", "4096", "1048576"]
times = defaultdict(dict)  # (op, align, size) -> impl -> ns
for r in runs:
    if r.get("run_type") == "aggregate" and r.get("aggregate_name") != "median":
        continue
    parts = r.get("run_name", r["name"]).split("/")
    if len(parts) < 4:
        continue
    op, impl, align, size = parts[:4]
    times[(op, align, size)][impl] = r["real_time"]

peers = sorted({impl for t in times.values() for impl in t if impl != "ours"})
print("| op | align | " + " | ".join(f"{p} @{s}" for p in peers for s in sizes) + " |")
print("|---|---|" + "---|" * (len(peers) * len(sizes)))
for op, align in sorted({(k[0], k[1]) for k in times}):
    cells = []
    for p in peers:
        for s in sizes:
            t = times.get((op, align, s), {})
            cells.append(f"{t['ours'] / t[p]:.2f}" if "ours" in t and p in t else "")
    if any(cells):
        print(f"| {op} | {align} | " + " | ".join(cells) + " |")

builds = ["sse3", "ssse3", "sse41"]
others = [p for p in peers if p not in builds]
print()
print("| op | align | size | " + " | ".join(f"{b}/ours" for b in builds) + " | "
      + " | ".join(f"{b}/{p}" for p in others for b in builds) + " |")
print("|---|---|---|" + "---|" * (len(builds) * (1 + len(others))))
for key in sorted(times, key=lambda k: (k[0], k[1], int(k[2]))):
    t = times[key]
    if not any(b in t for b in builds):
        continue
    cells = [f"{t[b] / t['ours']:.2f}" if b in t and "ours" in t else "" for b in builds]
    cells += [f"{t[b] / t[p]:.2f}" if b in t and p in t else "" for p in others for b in builds]
    print(f"| {key[0]} | {key[1]} | {key[2]} | " + " | ".join(cells) + " |")
