"""Writes named float64 arrays for the C++ tests (tests/primitives/support/
scipy_ref.h reads them): records of a uint32 name length, the name, a
uint32 count and the little-endian float64 values. The file is written to a
temporary name and renamed, so concurrent test processes never read half a
file."""
import os
import struct

import numpy as np


def write_arrays(path, arrays):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "wb") as out:
        for name, values in arrays.items():
            data = np.ascontiguousarray(np.asarray(values, dtype="<f8").ravel())
            encoded = name.encode()
            out.write(struct.pack("<I", len(encoded)))
            out.write(encoded)
            out.write(struct.pack("<I", data.size))
            out.write(data.tobytes())
    os.replace(tmp, path)
