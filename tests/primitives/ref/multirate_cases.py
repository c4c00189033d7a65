#!/usr/bin/python3
"""Multirate FIR cases. Phase 0 without history: scipy.signal.upfirdn.
Other phases and a delay line: zero-stuff the history and the input
(x[n] at n*up + upPhase) and convolve, taking every down-th sample from
downPhase. Writes multirate_cases.bin into the directory given."""
import sys

import numpy as np
from scipy import signal

from spref_arrays import write_arrays

# (name, taps, up, down, upPhase, downPhase, with delay line)
CASES = (
    ("dec2_66", 66, 1, 2, 0, 0, False),
    ("int2_66", 66, 2, 1, 0, 0, False),
    ("dec4_132", 132, 1, 4, 0, 0, False),
    ("int4_132", 132, 4, 1, 0, 0, False),
    ("r32_40", 40, 3, 2, 0, 0, False),
    ("idx8_1_4", 8, 1, 4, 0, 0, False),
    ("idx4_2_5", 4, 2, 5, 0, 0, False),
    ("r32_40_ph", 40, 3, 2, 2, 1, True),
    ("idx8_1_4_ph", 8, 1, 4, 0, 3, True),
    ("idx4_2_5_ph", 4, 2, 5, 1, 4, True),
    ("int4_132_ph", 132, 4, 1, 3, 0, True),
    ("dec2_66_ph", 66, 1, 2, 0, 1, True),
    ("r57_9", 9, 5, 7, 4, 6, True),
)
ITERATIONS = 240


def model(taps, x, hist, up, down, up_phase, down_phase, outputs):
    """y[m] = sum taps[k] u[m*down + downPhase - k], history before x."""
    s = np.concatenate([hist, x])
    H = len(hist)
    u = np.zeros(len(s) * up)
    u[up_phase::up] = s
    y = np.convolve(u, taps)
    start = H * up + down_phase
    return y[start:start + outputs * down:down][:outputs]


def main(out_dir):
    rng = np.random.default_rng(7)
    arrays = {}
    for name, L, up, down, up_phase, down_phase, with_dly in CASES:
        taps = rng.uniform(-1.0, 1.0, L).astype(np.float32)
        H = -(-L // up)
        x = rng.uniform(-1.0, 1.0, ITERATIONS * down).astype(np.float32)
        d = rng.uniform(-1.0, 1.0, H).astype(np.float32) if with_dly else np.zeros(H, np.float32)
        outputs = ITERATIONS * up
        y = model(taps.astype(np.float64), x.astype(np.float64), d[::-1].astype(np.float64),
                  up, down, up_phase, down_phase, outputs)
        if up_phase == 0 and down_phase == 0 and not with_dly:
            ref = signal.upfirdn(taps.astype(np.float64), x.astype(np.float64), up, down)
            assert np.allclose(ref[:outputs], y, atol=1e-12)
        arrays[name + ".taps"] = taps
        arrays[name + ".x"] = x
        arrays[name + ".dly"] = d
        arrays[name + ".y"] = y
        arrays[name + ".cfg"] = np.array([L, up, down, up_phase, down_phase, 1 if with_dly else 0])
    write_arrays(out_dir + "/multirate_cases.bin", arrays)


if __name__ == "__main__":
    main(sys.argv[1])
