#!/usr/bin/python3
"""Writes numpy's half-precision conversions for the CPU-build half kernels.

Usage: half_cases.py OUTDIR

half_to_f32.bin: every binary16 pattern 0..65535 as float32.
i16_to_half.bin: every int16 -32768..32767 as binary16, nearest even.
"""
import os
import sys

import numpy as np

out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def save(name, array):
    path = os.path.join(out, name)
    scratch = f"{path}.{os.getpid()}.tmp"
    np.ascontiguousarray(array).tofile(scratch)
    os.replace(scratch, path)


save("half_to_f32.bin", np.arange(65536, dtype=np.uint16).view(np.float16).astype(np.float32))
save("i16_to_half.bin", np.arange(-32768, 32768, dtype=np.int32).astype(np.float16).view(np.uint16))
