#!/usr/bin/python3
"""`uachost play` of a 200 MB WAV in bounded memory.

    long_play_check.py UACHOST WORKDIR

Writes a stereo 16-bit 48 kHz WAV of 200 MB (a ramp, block by block), plays
it, and checks that the run exits 0, that every played frame reached the
device, and that the peak resident size of uachost (getrusage of the child)
stays under 2.5 times the PCM size: the file is read in blocks and what the
device receives goes to the output file as it arrives.
"""
import os
import re
import resource
import shutil
import subprocess
import sys
import wave

PCM_BYTES = 200 * 1000 * 1000
BLOCK_FRAMES = 48000


def write_wav(path):
    frames = PCM_BYTES // 4
    ramp = bytearray()
    for n in range(BLOCK_FRAMES):
        v = (n * 7) & 0xFFFF
        ramp += bytes((v & 0xFF, v >> 8, v & 0xFF, v >> 8))
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(48000)
        for start in range(0, frames, BLOCK_FRAMES):
            w.writeframes(bytes(ramp[: 4 * min(BLOCK_FRAMES, frames - start)]))


def main():
    uachost, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    played = os.path.join(work, "in.wav")
    write_wav(played)
    run = subprocess.run([uachost, "--quiet", "play", "--wav", played, "--out", os.path.join(work, "out.wav")],
                         capture_output=True, text=True)
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
    print(run.stdout + run.stderr)
    print("long_play_check: peak RSS %.1f MB for %.1f MB of PCM (%.2fx)" % (peak / 1e6, PCM_BYTES / 1e6, peak / PCM_BYTES))
    failures = []
    if run.returncode != 0:
        failures.append("exit %d" % run.returncode)
    if not re.search(r"played %d frames .* %d played frames" % (PCM_BYTES // 4, PCM_BYTES // 4), run.stdout):
        failures.append("not every played frame reached the device")
    if peak >= 2.5 * PCM_BYTES:
        failures.append("peak RSS %.2fx the PCM size (limit 2.5x)" % (peak / PCM_BYTES))
    shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("long_play_check: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
