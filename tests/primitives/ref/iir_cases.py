#!/usr/bin/python3
"""IIR filter cases: Butterworth and Chebyshev designs of orders 1 to 8 with
the taps scaled by 2 (a0 = 2, normalised exactly by the filter), filtered by
scipy.signal.lfilter in float64 from the float32 taps, with and without an
initial state; a biquad cascade against sosfilt; butter(3, 0.5) with its
frequency response from freqz; a 4096-sample signal filtered by every
order (with the same initial states) and by a three-section cascade, for
the CPU builds' block paths. Writes iir_cases.bin into the directory
given."""
import sys

import numpy as np
from scipy import signal

from spref_arrays import write_arrays

INPUT_LEN = 1024
LONG_LEN = 4096


def main(out_dir):
    rng = np.random.default_rng(99)
    arrays = {}
    x = rng.uniform(-1.0, 1.0, INPUT_LEN).astype(np.float32)
    arrays["x"] = x
    for order in range(1, 9):
        if order % 2:
            b, a = signal.butter(order, 0.3)
        else:
            b, a = signal.cheby1(order, 1.0, 0.4)
        b32 = (2.0 * b).astype(np.float32)
        a32 = (2.0 * a).astype(np.float32)
        bn = b32.astype(np.float64) / 2.0  # exact: the filter's 1/a0 is 0.5
        an = a32.astype(np.float64) / 2.0
        zi = rng.uniform(-0.5, 0.5, order).astype(np.float32)
        arrays["taps%d" % order] = np.concatenate([b32, a32])
        arrays["zi%d" % order] = zi
        arrays["yzi%d" % order] = signal.lfilter(bn, an, x.astype(np.float64),
                                                 zi=zi.astype(np.float64))[0]
        arrays["yzero%d" % order] = signal.lfilter(bn, an, x.astype(np.float64))
    sos = signal.butter(4, 0.2, output="sos").astype(np.float32)
    arrays["sos"] = sos[:, [0, 1, 2, 4, 5]]
    arrays["ysos"] = signal.sosfilt(sos.astype(np.float64), x.astype(np.float64))
    b, a = signal.butter(3, 0.5)
    arrays["butter3"] = np.concatenate([b, a]).astype(np.float32)
    w, h = signal.freqz(b.astype(np.float32).astype(np.float64),
                        a.astype(np.float32).astype(np.float64), worN=4096, whole=True)
    arrays["butter3_mag"] = np.abs(h[:2049])  # bins k of 4096: w = 2 pi k / 4096
    long_cases(arrays)
    write_arrays(out_dir + "/iir_cases.bin", arrays)


def long_cases(arrays):
    """xlong and, per order, ylong<order> = lfilter over xlong from zi<order>;
    for the even orders also a Butterworth design (bwtaps<order>, scaled by
    2 like the others) and ybw<order> from the same zi; sos3 (b0 b1 b2 a1 a2
    per section, a0 = 1) and ysos3 = sosfilt over xlong."""
    rng = np.random.default_rng(123)
    x = rng.uniform(-1.0, 1.0, LONG_LEN).astype(np.float32)
    arrays["xlong"] = x
    for order in range(1, 9):
        taps = arrays["taps%d" % order]
        bn = taps[:order + 1].astype(np.float64) / 2.0
        an = taps[order + 1:].astype(np.float64) / 2.0
        zi = arrays["zi%d" % order].astype(np.float64)
        arrays["ylong%d" % order] = signal.lfilter(bn, an, x.astype(np.float64), zi=zi)[0]
        if order % 2 == 0:
            b, a = signal.butter(order, 0.3)
            b32 = (2.0 * b).astype(np.float32)
            a32 = (2.0 * a).astype(np.float32)
            arrays["bwtaps%d" % order] = np.concatenate([b32, a32])
            arrays["ybw%d" % order] = signal.lfilter(b32.astype(np.float64) / 2.0, a32.astype(np.float64) / 2.0,
                                                    x.astype(np.float64), zi=zi)[0]
    sos = signal.butter(6, 0.25, output="sos").astype(np.float32)
    arrays["sos3"] = sos[:, [0, 1, 2, 4, 5]]
    arrays["ysos3"] = signal.sosfilt(sos.astype(np.float64), x.astype(np.float64))


if __name__ == "__main__":
    main(sys.argv[1])
