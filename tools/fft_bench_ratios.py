#!/usr/bin/python3
"""Tabulates bench_fft's Google Benchmark JSON: the real FFT and FIR time
ratios (ours / peer, in the same run), the CPU builds' real and complex FFT
ratios (each build / fftwf, / KissFFT and / the generic build) with the
speed goal at 512-2048 points, the filters of each CPU build as ratios to
the generic build and to their peers, and the engine's hot paths as
fractions of a 512-frame block at 48 kHz (10.67 ms).

Usage:
  build/bench/primitives/bench_fft --benchmark_format=json \
      --benchmark_repetitions=3 --benchmark_report_aggregates_only=true > fft.json
  /usr/bin/python3 tools/fft_bench_ratios.py fft.json
"""
import json
import sys

BLOCK_NS = 512 / 48000 * 1e9
UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load_times(path):
    """run_name -> CPU time in ns (the median when repetitions ran)."""
    times = {}
    with open(path) as f:
        for b in json.load(f)["benchmarks"]:
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            times[b.get("run_name", b["name"])] = b["cpu_time"] * UNIT_NS[b["time_unit"]]
    return times


def fft_table(t):
    print("Real FFT, ratio ours / peer (in place | out of place)")
    print("order | dir | vs fftwf        | vs KissFFT      | ours in place ns")
    for direction in ("Fwd", "Inv"):
        for order in range(6, 13):
            key = lambda who: "%s_%s/%d" % (direction, who, order)
            if key("OursInPlace") not in t:
                continue
            inp, outp = t[key("OursInPlace")], t[key("OursOutOfPlace")]
            ff, kiss = t[key("Fftwf")], t[key("Kiss")]
            print("%5d | %s | %5.2f | %5.2f   | %5.2f | %5.2f   | %9.0f" %
                  (order, direction, inp / ff, outp / ff, inp / kiss, outp / kiss, inp))


def fir_table(t):
    print("\nFFT-path FIR, generic build, ratio ours / peer overlap-save (same N and B)")
    print("taps x samples | vs fftwf | vs KissFFT | ours ns")
    for args in ("256/512", "64/4096", "256/4096", "1024/4096"):
        ours = t.get("Fir_Ours/0/" + args)
        if ours is None:
            continue
        print("%14s | %8.2f | %10.2f | %8.0f" %
              (args.replace("/", " x "), ours / t["Fir_Fftwf/" + args], ours / t["Fir_Kiss/" + args], ours))


# Filter benchmarks whose first argument is the build (0 generic, 1-3 the
# CPU builds): family -> (peer label, peer run name for the arguments after
# the build), one entry per peer. Hot paths have no peer.
FILTER_PEERS = {
    "FirDirect": [("liquid", lambda rest: "Liquid_FirDirect/" + rest)],
    "Fir_Ours": [("fftwf", lambda rest: "Fir_Fftwf/" + rest), ("liquid", lambda rest: "Fir_Liquid/" + rest)],
    "FirMultirate": [("liquid", lambda rest: "Liquid_FirMultirate/" + rest)],
    "FirOneStep": [("liquid", lambda rest: "Liquid_FirOneStep/" + rest)],
    "Iir": [("liquid", lambda rest: "Liquid_Iir/" + rest)],
    "IirSections": [("liquid", lambda rest: "Liquid_IirSections/" + rest)],
    "Upsample": [("memcpy", lambda rest: "SamplingMemcpy/" + rest.split("/")[0])],
    "Downsample": [("memcpy", lambda rest: "SamplingMemcpy/" + rest.split("/")[0])],
}
BUILD_NAMES = ("gen", "sse3", "ssse3", "sse41")


def ratio(num, den):
    """num / den as text; '-' when either run is missing or was skipped
    (a skipped run reports a time of 0)."""
    if not num or not den:
        return "    -"
    return "%5.2f" % (num / den)


def filter_cases(t):
    """(family, arguments after the build) of every filter run with a build
    argument, in a stable order."""
    cases = set()
    for name in t:
        parts = name.split("/")
        if len(parts) < 2 or not parts[1].isdigit():
            continue
        if parts[0] in FILTER_PEERS or parts[0].startswith("Hot_"):
            cases.add((parts[0], "/".join(parts[2:])))
    return sorted(cases, key=lambda c: (c[0], [int(a) for a in c[1].split("/") if a]))


def filter_builds_table(t):
    print("\nFilters by build: time / generic and time / peer, same run ('-': skipped or missing)")
    print("%-26s %-6s | gen/peer | %s" % ("case", "peer", " | ".join("%5s/gen /peer" % b for b in BUILD_NAMES[1:])))
    for family, rest in filter_cases(t):
        def run(build):
            return t.get("%s/%d%s" % (family, build, "/" + rest if rest else ""))
        generic = run(0)
        for label, peer_name in FILTER_PEERS.get(family, [("-", None)]):
            peer = t.get(peer_name(rest)) if peer_name else None
            cells = ["    %s %s" % (ratio(run(b), generic), ratio(run(b), peer)) for b in range(1, 4)]
            print("%-26s %-6s |    %s | %s" % ("/".join(filter(None, (family, rest))), label, ratio(generic, peer),
                                                " | ".join(cells)))


def hot_paths(t):
    print("\nHot paths, one channel, fraction of a 512-frame block (10.67 ms)")
    for name in sorted(k for k in t if k.startswith("Hot_")):
        if not t[name]:
            print("%-28s skipped" % name[4:])
            continue
        print("%-28s %9.0f ns  %7.4f %%" % (name[4:], t[name], 100.0 * t[name] / BLOCK_NS))


BUILDS = ("generic", "build 1", "build 2", "build 3")
GOAL_ORDERS = (9, 10, 11)  # 512, 1024 and 2048 points


def ratio_cell(t, ours, peer):
    return "%.2f" % (t[ours] / t[peer]) if ours in t and peer in t else "-"


def cpu_real_table(t):
    """Real_Ours/order/build/dir against Real_Fftwf and Real_Kiss/order/dir."""
    if not any(k.startswith("Real_Ours/") for k in t):
        return
    for d, direction in enumerate(("forward", "inverse")):
        print("\nReal FFT %s per build, ratio build / peer (fftwf | KissFFT | generic)" % direction)
        print("| order | " + " | ".join("%s fftwf | %s kiss | %s gen" % (b, b, b) for b in BUILDS) + " |")
        print("|---|" + "---|---|---|" * len(BUILDS))
        for order in range(6, 17):
            cells = []
            for b in range(len(BUILDS)):
                ours = "Real_Ours/%d/%d/%d" % (order, b, d)
                cells += [ratio_cell(t, ours, "Real_Fftwf/%d/%d" % (order, d)),
                          ratio_cell(t, ours, "Real_Kiss/%d/%d" % (order, d)),
                          ratio_cell(t, ours, "Real_Ours/%d/0/%d" % (order, d))]
            print("| %d | %s |" % (order, " | ".join(cells)))
        print("Goal at 512-2048 points (best build <= 1.25 x fftwf, generic <= 3 x):")
        for order in GOAL_ORDERS:
            peer = t.get("Real_Fftwf/%d/%d" % (order, d))
            builds = [t.get("Real_Ours/%d/%d/%d" % (order, b, d)) for b in range(len(BUILDS))]
            cpu = [x for x in builds[1:] if x is not None]
            if peer is None or builds[0] is None or not cpu:
                continue
            best = min(cpu)
            print("  %5d points: best build %.2f (%s), generic %.2f (%s)" %
                  (1 << order, best / peer, "met" if best <= 1.25 * peer else "missed",
                   builds[0] / peer, "met" if builds[0] <= 3 * peer else "missed"))


def cpu_complex_table(t):
    """Complex_Ours/order/build against Complex_Fftwf and Complex_Kiss/order."""
    if not any(k.startswith("Complex_Ours/") for k in t):
        return
    print("\nComplex forward per build, ratio build / peer (fftwf | KissFFT | generic)")
    print("| order | " + " | ".join("%s fftwf | %s kiss | %s gen" % (b, b, b) for b in BUILDS) + " |")
    print("|---|" + "---|---|---|" * len(BUILDS))
    for order in range(6, 23):
        cells = []
        for b in range(len(BUILDS)):
            ours = "Complex_Ours/%d/%d" % (order, b)
            cells += [ratio_cell(t, ours, "Complex_Fftwf/%d" % order),
                      ratio_cell(t, ours, "Complex_Kiss/%d" % order),
                      ratio_cell(t, ours, "Complex_Ours/%d/0" % order)]
        if any(c != "-" for c in cells):
            print("| %d | %s |" % (order, " | ".join(cells)))


def main():
    t = load_times(sys.argv[1])
    fft_table(t)
    cpu_real_table(t)
    cpu_complex_table(t)
    fir_table(t)
    filter_builds_table(t)
    hot_paths(t)


if __name__ == "__main__":
    main()
