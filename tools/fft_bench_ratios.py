#!/usr/bin/python3
"""Tabulates bench_fft's Google Benchmark JSON: the real FFT and FIR time
ratios (ours / peer, in the same run) and the engine's hot paths as
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
    print("\nFFT-path FIR, ratio ours / peer overlap-save (same N and B)")
    print("taps x samples | vs fftwf | vs KissFFT | ours ns")
    for args in ("256/512", "64/4096", "256/4096", "1024/4096"):
        ours = t.get("Fir_Ours/" + args)
        if ours is None:
            continue
        print("%14s | %8.2f | %10.2f | %8.0f" %
              (args.replace("/", " x "), ours / t["Fir_Fftwf/" + args], ours / t["Fir_Kiss/" + args], ours))


def hot_paths(t):
    print("\nHot paths, one channel, fraction of a 512-frame block (10.67 ms)")
    for name in sorted(k for k in t if k.startswith("Hot_")):
        print("%-28s %9.0f ns  %7.4f %%" % (name[4:], t[name], 100.0 * t[name] / BLOCK_NS))


def main():
    t = load_times(sys.argv[1])
    fft_table(t)
    fir_table(t)
    hot_paths(t)


if __name__ == "__main__":
    main()
