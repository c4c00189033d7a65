#!/usr/bin/python3
"""An hour of `uachost play` and of `uachost record` in flat memory.

    long_run_check.py UACHOST WORKDIR

Plays a 1 kHz tone for an hour and records an hour from the headset's
microphone (48 kHz stereo and mono 16-bit), each in its own process, and
checks that both exit 0 and that the peak resident size of each (wait4's
ru_maxrss) stays under 64 MB: nothing the run keeps may grow with its
length. Prints each run's peak and wall time.
"""
import os
import shutil
import subprocess
import sys
import time

SECONDS = 3600
LIMIT_BYTES = 64 * 1024 * 1024


def run(args, work, name):
    out_path = os.path.join(work, name + ".stdout")
    err_path = os.path.join(work, name + ".stderr")
    with open(out_path, "w") as out, open(err_path, "w") as err:
        start = time.monotonic()
        child = subprocess.Popen(args, stdout=out, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.monotonic() - start
    code = os.waitstatus_to_exitcode(status)
    peak = usage.ru_maxrss * 1024
    with open(out_path) as out, open(err_path) as err:
        print(out.read() + err.read(), end="")
    print("long_run_check: %s: exit %d, peak RSS %.1f MB, %.1f s wall" % (name, code, peak / 1e6, wall))
    failures = []
    if code != 0:
        failures.append("%s: exit %d" % (name, code))
    if peak >= LIMIT_BYTES:
        failures.append("%s: peak RSS %.1f MB (limit %.1f MB)" % (name, peak / 1e6, LIMIT_BYTES / 1e6))
    return failures


def main():
    uachost, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    failures = []
    failures += run([uachost, "--quiet", "play", "--tone", "1000:-20:%d" % SECONDS, "--out",
                     os.path.join(work, "played.wav")], work, "play")
    failures += run([uachost, "--quiet", "record", "--seconds", str(SECONDS), "--out",
                     os.path.join(work, "recorded.wav")], work, "record")
    shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("long_run_check: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
