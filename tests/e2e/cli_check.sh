#!/bin/sh
# The host program's answers to bad input and refused devices: exit 1 with
# a message (or, for inspect, error JSON) for input it cannot use, exit 2
# with the NTSTATUS (and the driver's reason) for a device the driver
# refuses, never a crash; usage generated from the option definitions.
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
expect 0 '"speed": "high"' --device "$src/tests/fixtures/usb/uac2_async_device.txt" --speed high inspect
expect 2 '"startStatus": "STATUS_UNSUCCESSFUL' --device "$src/tests/fixtures/uac2/clock_selector.txt" --speed high inspect
expect 2 'takes no entity of this subtype' --device "$src/tests/fixtures/uac2/clock_selector.txt" --speed high show
expect 1 'speed requires --device' --speed high inspect
expect 1 'speed: slow not in' --device "$src/tests/fixtures/usb/uac2_async_device.txt" --speed slow inspect
expect 2 'STATUS_DEVICE_CONFIGURATION_ERROR' --device "$src/tests/e2e/devices/truncated_config.txt" play --tone 440 --out "$dir/x.wav"
expect 2 'driver: .*model string 0x50 or 0x32 unreadable' --device "$src/tests/fixtures/uac1/volume_only.hex" show
expect 1 'unknown command dance' dance
expect 1 'play wants' play --out "$dir/x.wav"
expect 1 '\-\-seconds: wants a number above 0' record --seconds -1 --out "$dir/x.wav"
# Usage and version; an option of another command is refused.
expect 0 'Subcommands:' --help
expect 0 'Subcommands:' -h
for command in demo show play record set inspect; do
  expect 0 "Usage: uachost $command" $command --help
done
expect 0 '^0\.1\.0$' --version
expect 1 'not expected: .*--mute' show --mute 1
expect 1 'not expected: .*--seconds' play --tone 440 --seconds 1 --out "$dir/x.wav"
# Directories where a file belongs; a file that cannot be written.
mkdir -p "$dir/adir" "$dir/state-dir/registry.txt"
expect 1 "adir is a directory" --device "$dir/adir" show
expect 1 "adir is a directory" play --wav "$dir/adir" --out "$dir/x.wav"
expect 1 "adir is a directory" --mic-wav "$dir/adir" record --seconds 0.1 --out "$dir/x.wav"
expect 1 "adir is a directory" play --tone 440:-20:0.1 --out "$dir/adir"
expect 1 "registry.txt is a directory" --state "$dir/state-dir" show
expect 1 "missing/x.wav: No such file or directory" play --tone 440:-20:0.1 --out "$dir/missing/x.wav"
# An empty registry image: no stored settings, a warning, a new image.
mkdir -p "$dir/empty-state" && : > "$dir/empty-state/registry.txt"
expect 0 'registry.txt is empty: starting without stored settings' --state "$dir/empty-state" set --volume -3
[ -s "$dir/empty-state/registry.txt" ] || fail "no registry image written after an empty one"
mkdir -p "$dir/state"
printf 'registry-image 1\nkey "\\Registry"\nvalue "v" REG_DWORD 1\n' > "$dir/state/registry.txt"
expect 1 'registry.txt:3:' --state "$dir/state" show
printf 'RIFF\0\0\0\0WAVEfmt ' > "$dir/short.wav"
expect 1 'short.wav' play --wav "$dir/short.wav" --out "$dir/x.wav"
# A WAV plays in its own format; tone.wav is what the device received:
# the 0.5 s with the lead and the drain, told apart.
expect 0 'received 720 frames of lead-in silence, 24000 played frames and 2160 frames of drain tail' \
  --quiet play --tone 1000:-20:0.5 --out "$dir/tone.wav"
expect 0 'played 26880 frames' --quiet play --wav "$dir/tone.wav" --out "$dir/again.wav"
# A data chunk cut short plays what is there, with a warning.
head -c 20000 "$dir/tone.wav" > "$dir/cut.wav"
expect 0 'declares 107520 bytes, the file holds 19956' --quiet play --wav "$dir/cut.wav" --out "$dir/x.wav"
# The same samples marked 96 kHz are not offered by the headset: refused,
# no conversion, the offered formats listed.
/usr/bin/python3 - "$dir/tone.wav" "$dir/rate96k.wav" <<'PY' || fail "cannot rewrite the WAV"
import sys, wave
with wave.open(sys.argv[1], "rb") as r, wave.open(sys.argv[2], "wb") as w:
    w.setnchannels(r.getnchannels()); w.setsampwidth(r.getsampwidth()); w.setframerate(96000)
    w.writeframes(r.readframes(r.getnframes()))
PY
expect 1 '2 ch 44100 Hz 16/16 bit PCM' play --wav "$dir/rate96k.wav" --out "$dir/x.wav"
# The microphone sends a WAV's samples, for exactly the time asked; a
# descriptor file's device sends them from its capture endpoint, and one
# without such an endpoint is refused. A node named on the command line.
# The headset's microphone is mono: its own recording is the file sent.
expect 0 'recorded 14400 frames' --quiet record --seconds 0.3 --out "$dir/mono.wav"
expect 0 'recorded 14400 frames' --quiet --mic-wav "$dir/mono.wav" record --seconds 0.3 --out "$dir/mic.wav"
{ cat "$src/tests/fixtures/uac1/headset.hex"; echo "string 0x50: GENERIC-UAC1"; } > "$dir/headset.txt"
expect 0 'recorded 14400 frames' --quiet --device "$dir/headset.txt" --mic-wav "$dir/mono.wav" \
  record --seconds 0.3 --out "$dir/mic-file.wav"
cmp -s -i 44:44 -n 20000 "$dir/mic.wav" "$dir/mic-file.wav" || fail "the file device did not send the WAV's samples"
expect 1 'no isochronous IN data endpoint' --device "$src/tests/fixtures/uac1/master_volume.hex" --mic-wav "$dir/mono.wav" show
expect 0 'volume (node 1): -3.00 dB' --state "$dir/node-state" set --volume -3 --node 1
expect 2 'volume of node 99' --state "$dir/node-state" set --volume -3 --node 99
exit 0
