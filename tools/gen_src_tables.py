#!/usr/bin/python3
"""Writes dsp/src_tables.cpp: the coefficient tables of the format layer's
rate converters, computed in double and rounded once to float.

  SRC_X2_TAPS    remez(66,  [0, .23,  .28, .5], [1, 0], fs=1), unscaled
  SRC_X4_TAPS    remez(132, [0, .115, .14, .5], [1, 0], fs=1), unscaled
  w(m) = I0(10 sqrt(1 - (m/1600)^2)) / I0(10) for |m| <= 1600, else 0
  SRC_44K_TO_48K_PHASES[r][t] = w(m) sinc(m/160),        m = 1600 - 160t - r
  SRC_48K_TO_44K_PHASES[r][t] = c w(m) sinc(c m/147),    m = 1600 - 147t - r,
                                c = 1.03 * 147/160
A tap is +0.0 exactly where w is 0 or the sinc argument a nonzero integer.

Every table's response is measured and asserted (ripple, rejection, group
delay); the measured values go into the generated file's header.

Usage: /usr/bin/python3 tools/gen_src_tables.py OUTPUT.cpp
"""
import sys

import numpy as np
import scipy
import scipy.signal as sig
from scipy.special import i0

KAISER_BETA = 10.0
HALF_SPAN = 1600
C48 = 1.03 * 147.0 / 160.0


def window(m):
    m = np.asarray(m, dtype=np.float64)
    inside = np.abs(m) <= HALF_SPAN
    arg = np.sqrt(np.clip(1.0 - (m / HALF_SPAN) ** 2, 0.0, None))
    return np.where(inside, i0(KAISER_BETA * arg) / i0(KAISER_BETA), 0.0)


def windowed_sinc(m, scale, period):
    """scale * w(m) * sinc(scale * m / period), +0.0 where w is 0 or the
    sinc argument is a nonzero integer."""
    m = np.asarray(m, dtype=np.float64)
    w = window(m)
    x = scale * m / period
    # A nonzero integer argument is exactly where scale*m is a multiple of
    # period; with scale 1 that is m % period == 0.
    if scale == 1.0:
        zero_arg = (m != 0) & (np.mod(m, period) == 0)
    else:
        zero_arg = np.zeros_like(m, dtype=bool)
    v = scale * w * np.sinc(x)
    v[(w == 0.0) | zero_arg] = 0.0
    return v


def phases(rows, taps, step, scale, period):
    r = np.arange(rows)[:, None]
    t = np.arange(taps)[None, :]
    m = HALF_SPAN - step * t - r
    return windowed_sinc(m, scale, period)


def response_db(h, freqs, fs):
    _, H = sig.freqz(h, worN=freqs, fs=fs)
    return 20.0 * np.log10(np.maximum(np.abs(H), 1e-300))


def measure_halfband(taps, pass_edge, stop_edge):
    f_pass = np.linspace(0.0, pass_edge, 2000)
    f_stop = np.linspace(stop_edge, 0.5, 4000)
    dc = abs(np.sum(taps))
    ripple = np.max(np.abs(response_db(taps, f_pass, 1.0)))
    rejection = np.max(response_db(taps, f_stop, 1.0))
    sym = np.max(np.abs(taps - taps[::-1]))
    return {"ripple_db": ripple, "rejection_db": rejection, "group_delay": (len(taps) - 1) / 2.0,
            "symmetry": sym, "sum": float(np.sum(taps)), "dc": dc}


def measure_polyphase(rows, taps, step, scale, period, fs_in):
    # The prototype at the high rate (step * fs_in): p(m) for every m.
    m = np.arange(-HALF_SPAN - 2 * step, HALF_SPAN + 2 * step + 1)
    p = windowed_sinc(m, scale, period)
    fs = step * fs_in
    dc = np.sum(p)
    def rel(freqs):
        return response_db(p, freqs, fs) - 20.0 * np.log10(abs(dc))
    # The stopband on a dense FFT grid (about 7 Hz apart).
    spectrum = np.abs(np.fft.rfft(p, 1 << 20))
    grid = np.fft.rfftfreq(1 << 20, 1.0 / fs)
    stop_db = 20.0 * np.log10(np.maximum(spectrum, 1e-300) / abs(dc))

    def rejection(from_hz):
        return float(np.max(stop_db[grid >= from_hz]))
    out = {
        "ripple_db_16k": float(np.max(np.abs(rel(np.linspace(0.0, 16000.0, 1500))))),
        "at_22050_db": float(rel(np.array([22050.0]))[0]),
    }
    return out, rejection


def row_delays(table):
    """Low-frequency group delay of every row, in input samples."""
    t = np.arange(table.shape[1])
    return np.array([np.sum(t * row) / np.sum(row) for row in table])


def hexf(v):
    """A float as a C++ hex-float literal, exact, trailing zeros dropped."""
    v = float(np.float32(v))
    if v == 0.0:
        return "0x0p+0f"
    mant, exp = v.hex().split("p")
    mant = mant.rstrip("0").rstrip(".")
    return mant + "p" + exp + "f"


def emit_array(name, arr, per_line=4):
    flat = np.asarray(arr, dtype=np.float32)
    dims = "".join("[%d]" % d for d in flat.shape)
    lines = ["const float %s%s = {" % (name, dims)]
    if flat.ndim == 2:
        for r in range(flat.shape[0]):
            lines.append("    {  // row %d" % r)
            row = flat[r]
            for i in range(0, len(row), per_line):
                lines.append("        " + ", ".join(hexf(v) for v in row[i:i + per_line]) + ",")
            lines.append("    },")
    else:
        for i in range(0, len(flat), per_line):
            lines.append("    " + ", ".join(hexf(v) for v in flat[i:i + per_line]) + ",")
    lines.append("};")
    return "\n".join(lines)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_src_tables.py OUTPUT.cpp")
    x2 = sig.remez(66, [0, 0.23, 0.28, 0.5], [1, 0], fs=1)
    x4 = sig.remez(132, [0, 0.115, 0.14, 0.5], [1, 0], fs=1)
    up = phases(160, 20, 160, 1.0, 160.0)
    down = phases(147, 24, 147, C48, 147.0)

    m2 = measure_halfband(x2, 0.23, 0.28)
    m4 = measure_halfband(x4, 0.115, 0.14)
    assert m2["ripple_db"] <= 0.02 and m2["rejection_db"] <= -59.5, m2
    assert m4["ripple_db"] <= 0.02 and m4["rejection_db"] <= -59.5, m4
    assert m2["symmetry"] == 0.0 and m4["symmetry"] == 0.0

    mu, rejection_u = measure_polyphase(160, 20, 160, 1.0, 160.0, 44100.0)
    mu["rejection_db_29k"] = rejection_u(29000.0)
    md, rejection_d = measure_polyphase(147, 24, 147, C48, 147.0, 48000.0)
    md["rejection_db_30k"] = rejection_d(30000.0)
    assert mu["ripple_db_16k"] <= 0.01 and abs(mu["at_22050_db"] + 6.0) <= 0.1, mu
    assert mu["rejection_db_29k"] <= -90.0, mu
    assert md["ripple_db_16k"] <= 0.01 and md["rejection_db_30k"] <= -95.0, md

    du = row_delays(up) - (1600 - np.arange(160)) / 160.0
    dd = row_delays(down[:, :22]) - (1600 - np.arange(147)) / 147.0
    assert np.max(np.abs(du)) <= 0.01 and np.max(np.abs(dd)) <= 0.01, (np.max(np.abs(du)), np.max(np.abs(dd)))

    up_sums = np.abs(up.sum(axis=1) - 1.0)
    down_sums = np.abs(down.sum(axis=1) - 1.0)
    assert up_sums.max() <= 4e-6 and down_sums.max() <= 2e-5
    assert np.all(up[0] == np.eye(20)[10]) and np.all(up[80] == up[80][::-1])
    assert np.all(up[159] == up[1][::-1])

    header = """// Generated by tools/gen_src_tables.py; do not edit.
// Command: /usr/bin/python3 tools/gen_src_tables.py dsp/src_tables.cpp
// numpy {np}, scipy {sp}
//
// Coefficient tables of the format layer's rate converters, computed in
// double and rounded once to float (tap 0 multiplies the newest sample).
//   SRC_X2_TAPS  remez(66,  [0, .23,  .28, .5], [1, 0], fs=1)
//   SRC_X4_TAPS  remez(132, [0, .115, .14, .5], [1, 0], fs=1)
//   w(m) = I0(10 sqrt(1 - (m/1600)^2)) / I0(10), |m| <= 1600
//   SRC_44K_TO_48K_PHASES[r][t] = w(m) sinc(m/160),     m = 1600 - 160t - r
//   SRC_48K_TO_44K_PHASES[r][t] = c w(m) sinc(c m/147), m = 1600 - 147t - r,
//                                 c = 1.03 * 147/160
//
// Measured:
//   x2: passband ripple {r2:.4f} dB over [0, .23], rejection {j2:.2f} dB from .28,
//       group delay {g2} samples, sum {s2:.6f}
//   x4: passband ripple {r4:.4f} dB over [0, .115], rejection {j4:.2f} dB from .14,
//       group delay {g4} samples, sum {s4:.6f}
//   160-phase prototype: ripple {ru:.5f} dB to 16 kHz, {au:.3f} dB at 22.05 kHz,
//       rejection {ju:.2f} dB from 29 kHz; rows within {su:.2e} of 1.0,
//       row delays within {du:.2e} samples of (1600 - r)/160
//   147-phase prototype: ripple {rd:.5f} dB to 16 kHz, rejection {jd:.2f} dB from 30 kHz;
//       rows within {sd:.2e} of 1.0, row delays within {dd:.2e} samples of (1600 - r)/147
#include "dsp/rate_converters.h"
""".format(np=np.__version__, sp=scipy.__version__,
           r2=m2["ripple_db"], j2=m2["rejection_db"], g2=m2["group_delay"], s2=m2["sum"],
           r4=m4["ripple_db"], j4=m4["rejection_db"], g4=m4["group_delay"], s4=m4["sum"],
           ru=mu["ripple_db_16k"], au=mu["at_22050_db"], ju=mu["rejection_db_29k"], su=up_sums.max(),
           du=np.max(np.abs(du)), rd=md["ripple_db_16k"], jd=md["rejection_db_30k"], sd=down_sums.max(),
           dd=np.max(np.abs(dd)))
    body = "\n\n".join([
        emit_array("SRC_44K_TO_48K_PHASES", up, 5),
        emit_array("SRC_48K_TO_44K_PHASES", down, 6),
        emit_array("SRC_X2_TAPS", x2, 6),
        emit_array("SRC_X4_TAPS", x4, 6),
    ])
    with open(sys.argv[1], "w") as f:
        f.write(header + "\n" + body + "\n")


if __name__ == "__main__":
    main()
