#!/usr/bin/python3
"""FIR filter cases: scipy.signal.lfilter over the history followed by the
input, in float64, for the tap counts of the FIR tests. Writes fir_cases.bin
into the directory given as the only argument."""
import sys

import numpy as np
from scipy import signal

from spref_arrays import write_arrays

TAP_COUNTS = (1, 20, 63, 64, 101, 256, 1000)
INPUT_LEN = 4096


def main(out_dir):
    rng = np.random.default_rng(20240601)
    arrays = {}
    for L in TAP_COUNTS:
        taps = rng.uniform(-1.0, 1.0, L).astype(np.float32)
        d = rng.uniform(-1.0, 1.0, L).astype(np.float32)  # d[k] = x[-1-k]
        x = rng.uniform(-1.0, 1.0, INPUT_LEN).astype(np.float32)
        history = d[::-1].astype(np.float64)
        full = np.concatenate([history, x.astype(np.float64)])
        y_dly = signal.lfilter(taps.astype(np.float64), [1.0], full)[L:]
        y_zero = signal.lfilter(taps.astype(np.float64), [1.0], x.astype(np.float64))
        arrays["taps%d" % L] = taps
        arrays["dly%d" % L] = d
        arrays["x%d" % L] = x
        arrays["ydly%d" % L] = y_dly
        arrays["yzero%d" % L] = y_zero
    write_arrays(out_dir + "/fir_cases.bin", arrays)


if __name__ == "__main__":
    main(sys.argv[1])
