#!/usr/bin/python3
"""Writes numpy reference cases for the primitive tests.

Usage: sp_numpy_ref.py OUTDIR

Every file is a raw little-endian array; the C++ test (numpy_ref_test.cpp)
knows the names, element types and the count N. Inputs are seeded, so the
files are the same on every run.
"""
import math
import os
import sys

import numpy as np

N = 4096
rng = np.random.default_rng(20240605)
out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def save(name, array):
    # Test processes run this script concurrently: write aside, then rename,
    # so a reader sees either no file or a complete one.
    path = os.path.join(out, name)
    scratch = f"{path}.{os.getpid()}.tmp"
    np.ascontiguousarray(array).tofile(scratch)
    os.replace(scratch, path)


def with_specials(values):
    specials = np.array([np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 0.5, -0.5, 1.5, -2.5,
                         0.49999997, 32767.5, -32768.5, 2147483520.0, 2147483648.0], dtype=np.float32)
    values[: specials.size] = specials
    return values


def saturate(v, lo, hi, nan_value, rounded):
    with np.errstate(invalid="ignore"):
        r = np.clip(rounded(np.clip(v, lo - 1.0, hi + 1.0)), lo, hi)
    return np.where(np.isnan(v), nan_value, r)


def half_away(v):
    return np.trunc(v + np.copysign(0.5, v))


# Float to integer: scaled values near full scale, unscaled values with ties.
unit = with_specials(rng.uniform(-1.25, 1.25, N).astype(np.float32))
wide = with_specials((rng.integers(-80000, 80000, N) / 2.0).astype(np.float32))
save("conv_unit.f32", unit)
save("conv_wide.f32", wide)
u64 = unit.astype(np.float64)
w64 = wide.astype(np.float64)
save("f32_to_i16_trunc_m15.i16", saturate(u64 * 32768.0, -32768, 32767, 0, np.trunc).astype(np.int16))
save("f32_to_i16_rint_0.i16", saturate(w64, -32768, 32767, 0, np.rint).astype(np.int16))
save("f32_to_i16_halfaway_m15.i16", saturate(u64 * 32768.0, -32768, 32767, 0, half_away).astype(np.int16))
save("f32_to_i32_trunc_m31.i32", saturate(u64 * 2.0**31, -2.0**31, 2.0**31 - 1, 0, np.trunc).astype(np.int32))
save("f32_to_i32_halfaway_m31.i32",
     saturate(u64 * 2.0**31, -2.0**31, 2.0**31 - 1, -2.0**31, half_away).astype(np.int32))
scaled24 = (unit * np.float32(8388608.0)).astype(np.float64)  # single-precision product
i24 = saturate(scaled24, -8388608, 8388607, 0, np.rint).astype(np.int32)
save("f32_to_i24_m23.u8", i24.astype("<u4").view(np.uint8).reshape(N, 4)[:, :3])

# Integer to float.
i16 = rng.integers(-32768, 32768, N).astype(np.int16)
save("i16.i16", i16)
save("i16_to_f32_15.f32", (i16.astype(np.float32) * np.float32(2.0**-15)).astype(np.float32))
i32 = rng.integers(-2**31, 2**31, N, dtype=np.int64).astype(np.int32)
save("i32.i32", i32)
save("i32_to_f32_31.f32", (i32.astype(np.float32) * np.float32(2.0**-31)).astype(np.float32))
packed = rng.integers(0, 256, 3 * N).astype(np.uint8)
save("i24.u8", packed)
values24 = packed.reshape(N, 3).astype(np.int32)
values24 = values24[:, 0] | (values24[:, 1] << 8) | (values24[:, 2] << 16)
values24 = np.where(values24 >= 2**23, values24 - 2**24, values24)
save("i24_to_f32.f32", values24.astype(np.float32))

# Interleave: 6 channels of 683 frames as raw 32-bit patterns.
channels = rng.integers(0, 2**32, (6, 683), dtype=np.uint64).astype(np.uint32)
save("deinterleaved.u32", channels)
save("interleaved.u32", channels.T.reshape(-1))

# Element-wise, single precision.
a = (rng.standard_normal(N) * 1000).astype(np.float32)
b = (rng.standard_normal(N) * 1000).astype(np.float32)
b[::97] = a[::97]  # equal pairs for min/max
save("a.f32", a)
save("b.f32", b)
save("add.f32", a + b)
save("sub_b_minus_a.f32", b - a)
save("mul.f32", a * b)
save("square.f32", a * a)
save("sqrt_abs_a.f32", np.sqrt(np.abs(a).astype(np.float64)).astype(np.float32))
save("min_every.f32", np.where(a < b, a, b))
save("max_every.f32", np.where(a > b, a, b))
save("abs.f32", np.abs(a))

# Sums: exactly rounded through math.fsum.
s = (rng.standard_normal(N) * np.exp(rng.uniform(-10, 10, N))).astype(np.float32)
save("sum_input.f32", s)
exact = math.fsum(float(x) for x in s)
save("sum_fsum.f64", np.array([exact], dtype=np.float64))
save("mean_fsum.f64", np.array([exact / N], dtype=np.float64))
