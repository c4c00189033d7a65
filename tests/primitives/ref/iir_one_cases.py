#!/usr/bin/python3
"""One-sample IIR kernel cases: random stable filters, real and complex, in
direct form (orders 0-5, 7, 8) and as biquad cascades (1-6 sections), with
coefficients and initial states rounded to float32 for the kernels that
compute in float and kept in float64 for the others. Each is run by
scipy.signal.lfilter (direct form) or sosfilt (cascades) in float64 from the
stored values, with the initial state, on integer-valued inputs. Writes
iir_one_cases.bin into the directory given.

Arrays (complex values interleaved re, im; real filters have im = 0):
  xr, xc                      the real and complex inputs
  <key>_b                     direct: b0..bN, a0..aN; biquad: b0, b1, b2, a1, a2
                              per section (a0 = 1)
  <key>_zi, <key>_y, <key>_zf  initial state, output, final state
with key = {f32,f64}_{real,cplx}_{direct<N>,biquad<S>}."""
import sys

import numpy as np
from scipy import signal

from spref_arrays import write_arrays

INPUT_LEN = 48
ORDERS = [0, 1, 2, 3, 4, 5, 7, 8]
SECTIONS = [1, 2, 3, 4, 5, 6]


def interleave(v):
    v = np.asarray(v, dtype=np.complex128)
    return np.column_stack([v.real, v.imag]).ravel()


def poles(rng, count, real):
    """count poles of radius 0.2-0.7; conjugate pairs for a real filter."""
    out = []
    while len(out) < count:
        r = rng.uniform(0.2, 0.7)
        if real and count - len(out) == 1:
            out.append(r * rng.choice([-1.0, 1.0]))
        elif real:
            p = r * np.exp(1j * rng.uniform(0.1, np.pi - 0.1))
            out += [p, np.conj(p)]
        else:
            out.append(r * np.exp(1j * rng.uniform(-np.pi, np.pi)))
    return np.array(out)


def taps(rng, count, real):
    v = rng.normal(size=count)
    return v if real else v + 1j * rng.normal(size=count)


def stored(v, f32, real):
    """Values as the kernels store them."""
    v = np.asarray(v, dtype=np.complex128)
    if f32:
        v = v.real.astype(np.float32) + 1j * v.imag.astype(np.float32)
    return v.real.astype(np.float64) + 0j if real else v.astype(np.complex128)


def unit_gain(b, a):
    """b scaled so that the impulse response's absolute sum is 1.5."""
    h = signal.lfilter(b, a, np.r_[1.0, np.zeros(400)])
    return b * (1.5 / np.sum(np.abs(h)))


def direct(rng, n, f32, real, x):
    if n == 0:
        b, a = taps(rng, 1, real) * 0.75, np.array([1.0 + 0j])
    else:
        a = np.poly(poles(rng, n, real))
        b = unit_gain(taps(rng, n + 1, real), a)
    b, a = stored(b, f32, real), stored(a, f32, real)
    a[0] = 1.0
    zi = stored(taps(rng, n, real) * 10.0, f32, real)
    y, zf = signal.lfilter(b, a, x, zi=zi)
    return np.concatenate([b, a]), zi, y, zf


def biquad(rng, sections, f32, real, x):
    sos = []
    for _ in range(sections):
        a = np.poly(poles(rng, 2, real))
        b = unit_gain(taps(rng, 3, real), a)
        sos.append(np.concatenate([stored(b, f32, real), [1.0], stored(a[1:], f32, real)]))
    sos = np.array(sos, dtype=np.complex128)
    zi = stored(taps(rng, 2 * sections, real) * 10.0, f32, real).reshape(sections, 2)
    y, zf = signal.sosfilt(sos, x, zi=zi)
    return sos[:, [0, 1, 2, 4, 5]].ravel(), zi.ravel(), y, zf.ravel()


def main(out_dir):
    rng = np.random.default_rng(130)
    xr = rng.integers(-100, 101, INPUT_LEN).astype(np.float64)
    xc = xr + 1j * rng.integers(-100, 101, INPUT_LEN)
    arrays = {"xr": xr, "xc": interleave(xc)}
    for f32 in (True, False):
        for real in (True, False):
            x = xr + 0j if real else xc
            prefix = "%s_%s_" % ("f32" if f32 else "f64", "real" if real else "cplx")
            cases = [("direct%d" % n, direct, n) for n in ORDERS]
            cases += [("biquad%d" % s, biquad, s) for s in SECTIONS]
            for name, build, size in cases:
                coefs, zi, y, zf = build(rng, size, f32, real, x)
                key = prefix + name
                arrays[key + "_b"] = interleave(coefs)
                arrays[key + "_zi"] = interleave(zi)
                arrays[key + "_y"] = interleave(y)
                arrays[key + "_zf"] = interleave(zf)
    write_arrays(out_dir + "/iir_one_cases.bin", arrays)


if __name__ == "__main__":
    main(sys.argv[1])
