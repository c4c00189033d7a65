#!/usr/bin/python3
"""One-sample FIR step cases with numpy: each output is the sum, oldest
sample first, of float32 products taps[L-1-i] * x[n-L+1+i] accumulated in
float64 sequentially (np.add.accumulate, not numpy's pairwise sum) and
rounded to float32 once. Every output picks a tap row from a polyphase
table, as the sample-rate converters do. The complex cases (interleaved
re, im pairs) give the exact complex sums in float64 of complex64 taps and
samples, for the CPU builds' complex kernel. Writes fir_one_cases.bin into
the directory given."""
import sys

import numpy as np

from spref_arrays import write_arrays

TAP_COUNTS = (1, 3, 20, 24, 48)
ROWS = 7
STEPS = 300
COMPLEX_TAP_COUNTS = (1, 2, 3, 4, 5, 17)


def main(out_dir):
    rng = np.random.default_rng(5)
    arrays = {}
    for L in TAP_COUNTS:
        table = rng.uniform(-1.0, 1.0, (ROWS, L)).astype(np.float32)
        x = rng.uniform(-1.0, 1.0, STEPS).astype(np.float32)
        rows = rng.integers(0, ROWS, STEPS)
        history = np.concatenate([np.zeros(L - 1, np.float32), x])
        y = np.empty(STEPS, np.float32)
        for n in range(STEPS):
            window = history[n:n + L]  # oldest first
            products = (table[rows[n]][::-1] * window).astype(np.float64)
            y[n] = np.float32(np.add.accumulate(products)[-1])
        arrays["table%d" % L] = table.ravel()
        arrays["x%d" % L] = x
        arrays["rows%d" % L] = rows.astype(np.float64)
        arrays["y%d" % L] = y
    for L in COMPLEX_TAP_COUNTS:
        taps = (rng.uniform(-1, 1, L) + 1j * rng.uniform(-1, 1, L)).astype(np.complex64)
        x = (rng.uniform(-1, 1, STEPS) + 1j * rng.uniform(-1, 1, STEPS)).astype(np.complex64)
        history = np.concatenate([np.zeros(L - 1, np.complex128), x.astype(np.complex128)])
        y = np.array([np.sum(taps[::-1].astype(np.complex128) * history[n:n + L]) for n in range(STEPS)])
        arrays["ctaps%d" % L] = taps.view(np.float32).astype(np.float64)
        arrays["cx%d" % L] = x.view(np.float32).astype(np.float64)
        arrays["cy%d" % L] = y.view(np.float64)
    write_arrays(out_dir + "/fir_one_cases.bin", arrays)


if __name__ == "__main__":
    main(sys.argv[1])
