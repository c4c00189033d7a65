#!/usr/bin/python3
"""Regenerates a committed table source with its generator and requires
every hex-float literal to be within 1 ulp (as a float) of the committed
one, in the same order and number.

Usage: check_generated.py GENERATOR COMMITTED.cpp OUTPUT.cpp
Exit 77 (skipped) when numpy or scipy is missing.
"""
import re
import subprocess
import sys

LITERAL = re.compile(r"-?0x[0-9a-fA-F]+(?:\.[0-9a-fA-F]*)?p[+-]?\d+f")


def values(path):
    import numpy as np
    with open(path) as f:
        text = f.read()
    body = text[re.search(r"\n(?:inline )?const(?:expr)? ", text).start():]
    return np.array([float.fromhex(v[:-1]) for v in LITERAL.findall(body)], dtype=np.float32)


def main():
    try:
        import numpy as np  # noqa: F401
        import scipy  # noqa: F401
    except ImportError:
        print("skipped: python3-numpy or python3-scipy missing; run scripts/setup")
        return 77
    import numpy as np
    generator, committed, output = sys.argv[1:4]
    subprocess.run(["/usr/bin/python3", generator, output], check=True)
    old, new = values(committed), values(output)
    if len(old) != len(new):
        print("value counts differ: committed %d, regenerated %d" % (len(old), len(new)))
        return 1
    ulps = np.abs(old.view(np.int32).astype(np.int64) - new.view(np.int32).astype(np.int64))
    worst = int(ulps.max()) if len(ulps) else 0
    print("%d values, largest difference %d ulp" % (len(old), worst))
    return 0 if worst <= 1 else 1


if __name__ == "__main__":
    sys.exit(main())
