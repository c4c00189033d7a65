#!/bin/sh
# Fails when an object of the generic build holds a VEX-encoded instruction
# or one beyond SSE2 (SSE3, SSSE3, SSE4.x, BMI, POPCNT/LZCNT, MOVBE, CRC32).
# Usage: check_generic_isa.sh object[:object...]
set -eu
status=0
old_ifs=$IFS
IFS=:
for obj in $1; do
  IFS=$old_ifs
  bad=$(objdump -d --no-show-raw-insn "$obj" | grep -E '^[[:space:]]+[0-9a-f]+:' |
    awk '{print $2}' |
    grep -E '^(v[a-z0-9]+|addsubp[sd]|h(add|sub)p[sd]|lddqu|movddup|movs[hl]dup|fisttp|monitor|mwait|pabs[bwd]|palignr|ph(add|sub)(w|d|sw)|pmaddubsw|pmulhrsw|pshufb|psign[bwd]|blendv?p[sd]|dpp[sd]|extractps|insertps|movntdqa|mpsadbw|packusdw|pblendvb|pblendw|pcmpeqq|pextr[bdq]|phminposuw|pinsr[bdq]|pmaxs[bd]|pmaxu[dw]|pmins[bd]|pminu[dw]|pmov[sz]x[a-z]+|pmuldq|pmulld|ptest|round[ps][sd]|crc32[a-z]*|pcmp[ei]str[im]|pcmpgtq|popcnt|lzcnt|tzcnt|andn|bextr|blsi|blsmsk|blsr|bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx|movbe)$' |
    sort | uniq -c || true)
  if [ -n "$bad" ]; then
    echo "$obj: instructions outside the x86-64 baseline:"
    echo "$bad"
    status=1
  fi
  IFS=:
done
IFS=$old_ifs
[ $status -eq 0 ] && echo "generic objects use the x86-64 baseline only"
exit $status
