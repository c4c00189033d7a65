#!/bin/sh
# `uachost demo` with short parts as a test: exit 0, no leak reported (the
# pool report goes to stderr, only when something is left or --verbose asks
# for it; stdout holds the command's output only), the played and recorded
# files, then the numpy check of both (skipped with a message when numpy is
# absent). A second run starts with the stored volume.
# Arguments: the uachost binary, the check script, a work directory.
set -u
uachost=$1
check=$2
dir=$3
rm -rf "$dir"
mkdir -p "$dir"
out=$("$uachost" --state "$dir" --quiet demo --seconds 1 2>"$dir/demo.err") || { echo "$out"; cat "$dir/demo.err"; echo "demo failed"; exit 1; }
echo "$out"
cat "$dir/demo.err"
! grep -q "live pool\|permanent objects" "$dir/demo.err" || { echo "demo reported live pool"; exit 1; }
! echo "$out" | grep -q "live pool\|permanent objects" || { echo "report lines on stdout"; exit 1; }
report=$("$uachost" --verbose show 2>&1 >/dev/null)
echo "$report" | grep -q "^live pool by tag: none$" || { echo "$report"; echo "--verbose printed no pool report"; exit 1; }
/usr/bin/python3 "$check" tone "$dir/played.wav" --hz 1000 --dbfs -20 --lag-ms 15 || exit 1
/usr/bin/python3 "$check" level "$dir/recorded.wav" --hz 440 --dbfs -12 || exit 1
again=$("$uachost" --state "$dir" show) || { echo "$again"; exit 1; }
echo "$again" | grep -q "render volume (node [0-9]*): -6.00 dB" || { echo "$again"; echo "stored volume not applied"; exit 1; }
exit 0
