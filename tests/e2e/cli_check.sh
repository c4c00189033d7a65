#!/bin/sh
# The host program's answers to bad input and refused devices: exit 1 with
# a message (or, for inspect, error JSON) for input it cannot use, exit 2
# with the NTSTATUS for a device the driver refuses, never a crash.
# Arguments: the uachost binary, the source tree, a work directory.
set -u
uachost=$1
src=$2
dir=$3
rm -rf "$dir"
mkdir -p "$dir"
fail() { echo "cli_check: $*"; exit 1; }

# expect CODE PATTERN ARGS...: the exit code and a line of the output.
expect() {
  want=$1; pattern=$2; shift 2
  out=$("$uachost" "$@" 2>&1)
  code=$?
  [ "$code" = "$want" ] || fail "uachost $*: exit $code, expected $want; output:
$out"
  echo "$out" | grep -q -- "$pattern" || fail "uachost $*: no line matching '$pattern' in:
$out"
}

printf 'device: 12 01\nconfig: zz\n' > "$dir/bad.txt"
expect 1 '"error": ".*line 2' --device "$dir/bad.txt" inspect
expect 2 '"startStatus": "STATUS_NOT_SUPPORTED' --device "$src/tests/fixtures/usb/uac2_async_device.txt" inspect
expect 2 'STATUS_DEVICE_CONFIGURATION_ERROR' --device "$src/tests/e2e/devices/truncated_config.txt" play --tone 440 --out "$dir/x.wav"
expect 1 'unknown command' dance
expect 1 'play wants' play --out "$dir/x.wav"
expect 1 'bad --seconds' record --seconds -1 --out "$dir/x.wav"
mkdir -p "$dir/state"
printf 'registry-image 1\nkey "\\Registry"\nvalue "v" REG_DWORD 1\n' > "$dir/state/registry.txt"
expect 1 'registry.txt:3:' --state "$dir/state" show
printf 'RIFF\0\0\0\0WAVEfmt ' > "$dir/short.wav"
expect 1 'short.wav' play --wav "$dir/short.wav" --out "$dir/x.wav"
# A WAV plays in its own format; tone.wav is what the device received:
# the 0.5 s with the lead and the drain.
expect 0 'written to' --quiet play --tone 1000:-20:0.5 --out "$dir/tone.wav"
expect 0 'played 26880 frames' --quiet play --wav "$dir/tone.wav" --out "$dir/again.wav"
# The same samples marked 96 kHz are not offered by the headset: refused,
# no conversion, the offered formats listed.
/usr/bin/python3 - "$dir/tone.wav" "$dir/rate96k.wav" <<'PY' || fail "cannot rewrite the WAV"
import sys, wave
with wave.open(sys.argv[1], "rb") as r, wave.open(sys.argv[2], "wb") as w:
    w.setnchannels(r.getnchannels()); w.setsampwidth(r.getsampwidth()); w.setframerate(96000)
    w.writeframes(r.readframes(r.getnframes()))
PY
expect 1 '2 ch 44100 Hz 16/16 bit PCM' play --wav "$dir/rate96k.wav" --out "$dir/x.wav"
# The microphone sends a WAV's samples; a node named on the command line.
expect 0 'recorded' --quiet --mic-wav "$dir/tone.wav" record --seconds 0.3 --out "$dir/mic.wav"
expect 0 'volume (node 1): -3.00 dB' set --volume -3 --node 1
expect 2 'volume of node 99' set --volume -3 --node 99
exit 0
