#!/bin/sh
# Smoke run of one fuzz target:
#   run_smoke.sh <fuzzer> <seed directory> <runs>
# Replays every seed, then runs <runs> inputs mutated from them with a fixed
# random seed, so a failure reproduces. The seeds are copied to a temporary
# corpus first: the inputs libFuzzer adds never land in the source tree. A
# crashing input is written to the working directory (crash-<sha1>).
set -eu
[ $# -eq 3 ] || { echo "usage: $0 <fuzzer> <seed directory> <runs>" >&2; exit 2; }
fuzzer=$1
seeds=$2
runs=$3
if ! ls "$seeds"/* >/dev/null 2>&1; then
  echo "$0: no seeds in $seeds" >&2
  exit 1
fi
corpus=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-smoke.XXXXXX")
trap 'rm -rf "$corpus"' EXIT
cp "$seeds"/* "$corpus"/
"$fuzzer" -seed=1 -runs="$runs" -print_final_stats=1 "$corpus"
