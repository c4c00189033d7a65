#!/usr/bin/python3
"""Golden blocks for the data-path test: random stereo PCM blocks of 1300
frames at 16, 24 and 32 bits through one processing node that multiplies
every sample by 0.7 in single precision.

Run once from this directory with the system Python and its numpy
(python3-numpy):  /usr/bin/python3 make_gain_golden.py
Writes gain07_<bits>.bin: the input block followed by the expected output
block, both little-endian as they travel on the bus (24-bit packed in 3
bytes). The arithmetic is the data path's: integer to float32 scaled by
2^-(bits-1) (32-bit values rounded to float32 first), the node's float32
multiply, then back: 16 and 32 bits scaled in double precision, truncated
toward zero and saturated; 24 bits scaled in float32 and rounded to nearest
with ties to even, saturated.
"""
import numpy as np

FRAMES, CHANNELS, GAIN, SEED = 1300, 2, np.float32(0.7), 20260101


def to_float(x, bits):
    return x.astype(np.float32) * np.float32(2.0 ** -(bits - 1))


def back(p, bits):
    top = 2 ** (bits - 1)
    if bits == 24:
        y = p * np.float32(top)
        return np.clip(np.rint(y.astype(np.float64)), -top, top - 1).astype(np.int64)
    v = np.trunc(p.astype(np.float64) * top)
    return np.clip(v, -top, top - 1).astype(np.int64)


def pack(values, bits):
    if bits == 16:
        return values.astype('<i2').tobytes()
    if bits == 32:
        return values.astype('<i4').tobytes()
    u = (values & 0xFFFFFF).astype('<u4').tobytes()
    return b''.join(u[i:i + 3] for i in range(0, len(u), 4))


def main():
    rng = np.random.default_rng(SEED)
    for bits in (16, 24, 32):
        top = 2 ** (bits - 1)
        x = rng.integers(-top, top, size=FRAMES * CHANNELS, dtype=np.int64)
        x[:4] = [-top, top - 1, 0, 1]
        out = back(to_float(x, bits) * GAIN, bits)
        with open('gain07_%d.bin' % bits, 'wb') as f:
            f.write(pack(x, bits))
            f.write(pack(out, bits))


if __name__ == '__main__':
    main()
