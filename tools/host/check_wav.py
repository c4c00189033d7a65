#!/usr/bin/python3
"""Independent check of the host program's WAV files with numpy.

    check_wav.py tone FILE --hz HZ --dbfs DBFS [--lag-ms MS]
        FILE holds silence for MS milliseconds, then a sine of HZ at DBFS
        (peak): checks the frequency (FFT peak), the level (RMS) and the
        lag (cross-correlation with a sine generated here).
    check_wav.py level FILE --hz HZ --dbfs DBFS
        FILE is a sine of HZ at DBFS throughout (a recording): frequency
        and level only.

Reads the WAV with soundfile (any PCM or float WAV, extensible included),
nothing of the project. Exits 0 when every check holds, 1 when one fails,
and 0 with a message when numpy or soundfile is not installed (run with
Debian's own python3, where python3-numpy and python3-soundfile live).
"""
import argparse
import sys

try:
    import numpy as np
    import soundfile
except ImportError:
    print("check_wav: numpy or soundfile is not installed (python3-numpy, python3-soundfile); checks skipped")
    sys.exit(0)


def read(path):
    """Channel 0 as floats in [-1, 1) and the rate."""
    data, rate = soundfile.read(path, dtype="float64", always_2d=True)
    return data[:, 0], rate


def peak_hz(x, rate):
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x))))
    return np.argmax(spectrum) * rate / len(x), rate / len(x)


def rms_db(x):
    return 20 * np.log10(np.sqrt(np.mean(x * x)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["tone", "level"])
    parser.add_argument("file")
    parser.add_argument("--hz", type=float, required=True)
    parser.add_argument("--dbfs", type=float, required=True)
    parser.add_argument("--lag-ms", type=float, default=None)
    args = parser.parse_args()
    x, rate = read(args.file)
    failures = []
    body = x
    if args.kind == "tone":
        nonzero = np.nonzero(x)[0]
        if len(nonzero) == 0:
            raise SystemExit("check_wav: %s is silent" % args.file)
        body = x[nonzero[0]:nonzero[-1] + 1]
        reference = np.sin(2 * np.pi * args.hz * np.arange(len(body)) / rate) * 10 ** (args.dbfs / 20)
        window = min(len(x), len(reference), rate)
        corr = np.correlate(x[: window + rate // 10], reference[:window], mode="valid")
        lag = int(np.argmax(corr))
        norm = corr[lag] / np.sqrt(np.sum(reference[:window] ** 2) * np.sum(x[lag:lag + window] ** 2))
        print("check_wav: %s lag %.3f ms, correlation %.6f" % (args.file, 1000.0 * lag / rate, norm))
        if norm < 0.9999:
            failures.append("correlation %.6f below 0.9999" % norm)
        if args.lag_ms is not None and abs(1000.0 * lag / rate - args.lag_ms) > 1000.0 / rate:
            failures.append("lag %.3f ms, expected %.3f ms" % (1000.0 * lag / rate, args.lag_ms))
    hz, bin_hz = peak_hz(body, rate)
    level = rms_db(body)
    expected = args.dbfs - 10 * np.log10(2)
    print("check_wav: %s peak %.1f Hz, RMS %.3f dBFS" % (args.file, hz, level))
    if abs(hz - args.hz) > bin_hz:
        failures.append("peak at %.1f Hz, expected %.1f Hz" % (hz, args.hz))
    if abs(level - expected) > 0.05:
        failures.append("RMS %.3f dBFS, expected %.3f dBFS" % (level, expected))
    for f in failures:
        print("check_wav: %s: %s" % (args.file, f))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
