#!/bin/sh
# Instruction-set ceilings of the signal primitives.
#
#   check_generic_isa.sh OBJECTS [CEILING]
#     every object of the colon-separated list stays within CEILING (sse2,
#     the default: the generic build; sse3, ssse3 or sse41: CPU builds 1-3).
#     In a CPU build's objects a function that carries neither a build
#     suffix nor a build namespace (an inline copy the linker may also hand
#     to the generic build) is held to SSE2.
#   check_generic_isa.sh --linked EXECUTABLE
#     disassembles a program linked against sp_primitives (so the linker's
#     choice among duplicate inline copies shows) and holds every function of
#     the primitives to its build's ceiling: _Sse3 / sp::sse3 to SSE3, _Ssse3
#     / sp::ssse3 to SSSE3, _Sse41 / sp::sse41 to SSE4.1, every other sp
#     function to SSE2. A function that issues non-temporal stores must also
#     hold a store fence, except the vector add, subtract and add-scaled
#     kernels (and the loop they share when it is not inlined), whose
#     callers order the stores.
#   check_generic_isa.sh --weak GENERIC B1 B2 B3
#     four colon-separated object lists (generic, CPU builds 1-3): no weak
#     symbol (an inline or template copy the linker may merge) of one build's
#     objects is also defined by the generic objects or another build's, so
#     no build can end up running another build's instructions.
# VEX/EVEX-encoded instructions (and so FMA) are outside every ceiling.
set -eu

# Defined symbols of a colon-separated object list, "<type> <name>" per line.
defined_symbols() {
  old_ifs=$IFS; IFS=:
  for obj in $1; do
    nm --defined-only "$obj" | awk 'NF >= 3 { print $2 " " $3 }'
  done
  IFS=$old_ifs
}

if [ "${1:-}" = "--weak" ]; then
  tmp=${TMPDIR:-/tmp}/sp_weak_$$
  mkdir -p "$tmp"
  defined_symbols "$2" > "$tmp/0"
  defined_symbols "$3" > "$tmp/1"
  defined_symbols "$4" > "$tmp/2"
  defined_symbols "$5" > "$tmp/3"
  for g in 0 1 2 3; do
    awk '{ print $2 }' "$tmp/$g" | sort -u > "$tmp/names$g"
  done
  status=0
  for b in 1 2 3; do
    awk '$1 ~ /^[WVuw]$/ { print $2 }' "$tmp/$b" | sort -u > "$tmp/weak$b"
    for other in 0 1 2 3; do
      [ "$other" = "$b" ] && continue
      shared=$(comm -12 "$tmp/weak$b" "$tmp/names$other")
      if [ -n "$shared" ]; then
        echo "weak symbols of build $b also defined by group $other (0 = generic):"
        echo "$shared" | c++filt
        status=1
      fi
    done
  done
  rm -rf "$tmp"
  [ $status -eq 0 ] && echo "no weak symbol of a CPU build is defined by another build or the generic objects"
  exit $status
fi

SSE3='addsubp[sd]|h(add|sub)p[sd]|lddqu|movddup|movs[hl]dup|fisttp[a-z]*|monitor|mwait'
SSSE3='pabs[bwd]|palignr|ph(add|sub)(w|d|sw)|pmaddubsw|pmulhrsw|pshufb|psign[bwd]'
SSE41='blendv?p[sd]|dpp[sd]|extractps|insertps|movntdqa|mpsadbw|packusdw|pblendvb|pblendw|pcmpeqq|pextr[bdq]|phminposuw|pinsr[bdq]|pmaxs[bd]|pmaxu[dw]|pmins[bd]|pminu[dw]|pmov[sz]x[a-z]+|pmuldq|pmulld|ptest|round[ps][sd]'
BEYOND='v[a-z0-9]+|crc32[a-z]*|pcmp[ei]str[im]|pcmpgtq|popcnt|lzcnt|tzcnt|andn|bextr|blsi|blsmsk|blsr|bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx|movbe'

# Mnemonics a ceiling forbids, as one anchored pattern.
forbidden() {
  case "$1" in
    sse2) echo "^($SSE3|$SSSE3|$SSE41|$BEYOND)\$" ;;
    sse3) echo "^($SSSE3|$SSE41|$BEYOND)\$" ;;
    ssse3) echo "^($SSE41|$BEYOND)\$" ;;
    sse41) echo "^($BEYOND)\$" ;;
    *) echo "unknown ceiling $1" >&2; exit 2 ;;
  esac
}

# One line per instruction of FILE: "<function>\t<mnemonic>".
function_mnemonics() {
  objdump -d -C --no-show-raw-insn "$1" | awk '
    /^[0-9a-f]+ <.*>:$/ { name = substr($0, index($0, "<") + 1); sub(/>:$/, "", name); next }
    /^[[:space:]]+[0-9a-f]+:/ { split($0, parts, "\t"); m = parts[2]; sub(/ .*/, "", m); if (m != "") print name "\t" m }
  '
}

if [ "${1:-}" = "--linked" ]; then
  exe=$2
  function_mnemonics "$exe" > "${TMPDIR:-/tmp}/sp_isa_$$.txt"
  status=0
  for build in sse3:_Sse3:sp::sse3:: ssse3:_Ssse3:sp::ssse3:: sse41:_Sse41:sp::sse41::; do
    ceiling=${build%%:*}; rest=${build#*:}; suffix=${rest%%:*}; ns=${rest#*:}
    bad=$(awk -F '\t' -v s="$suffix" -v n="$ns" '(index($1, s "(") || index($1, n)) { print $1 "\t" $2 }' \
        "${TMPDIR:-/tmp}/sp_isa_$$.txt" | awk -F '\t' -v pat="$(forbidden "$ceiling")" '$2 ~ pat' | sort -u)
    if [ -n "$bad" ]; then
      echo "build $ceiling functions beyond their ceiling:"; echo "$bad"; status=1
    fi
  done
  bad=$(awk -F '\t' '($1 ~ /^(sp[A-Z]|sp::gen::|sp::cpu::)/ || $1 ~ /_Gen\(/) && $1 !~ /_(Sse3|Ssse3|Sse41)\(/' \
      "${TMPDIR:-/tmp}/sp_isa_$$.txt" | awk -F '\t' -v pat="$(forbidden sse2)" '$2 ~ pat' | sort -u)
  if [ -n "$bad" ]; then
    echo "generic functions beyond SSE2:"; echo "$bad"; status=1
  fi
  nofence=$(awk -F '\t' '$1 ~ /(_Sse3|_Ssse3|_Sse41)\(|sp::(sse3|ssse3|sse41)::/ {
      if ($2 ~ /^movnt/) nt[$1] = 1; if ($2 == "sfence") fence[$1] = 1 }
    END { for (f in nt) if (!(f in fence)) print f }' "${TMPDIR:-/tmp}/sp_isa_$$.txt" |
    grep -Ev '^sp(Add|Sub|AddScaled)F32Kernel_(Sse3|Ssse3|Sse41)\(|^void sp::(sse3|ssse3|sse41)::elementwise::arith<' || true)
  if [ -n "$nofence" ]; then
    echo "non-temporal stores without a store fence in:"; echo "$nofence"; status=1
  fi
  cpu_functions=$(awk -F '\t' '$1 ~ /_(Sse3|Ssse3|Sse41)\(/ { print $1 }' "${TMPDIR:-/tmp}/sp_isa_$$.txt" | sort -u | wc -l)
  rm -f "${TMPDIR:-/tmp}/sp_isa_$$.txt"
  if [ "$cpu_functions" -eq 0 ]; then
    echo "no CPU-build function found in $exe"; exit 1
  fi
  [ $status -eq 0 ] && echo "linked primitives stay within their builds' ceilings ($cpu_functions CPU-build functions)"
  exit $status
fi

ceiling=${2:-sse2}
pattern=$(forbidden "$ceiling")
status=0
old_ifs=$IFS
IFS=:
for obj in $1; do
  IFS=$old_ifs
  bad=$(objdump -d --no-show-raw-insn "$obj" | grep -E '^[[:space:]]+[0-9a-f]+:' |
    awk '{print $2}' | grep -E "$pattern" | sort | uniq -c || true)
  if [ -n "$bad" ]; then
    echo "$obj: instructions beyond $ceiling:"
    echo "$bad"
    status=1
  fi
  if [ "$ceiling" != sse2 ]; then
    bad=$(function_mnemonics "$obj" |
      awk -F '\t' '$1 !~ /_(Sse3|Ssse3|Sse41)\(|sp::(sse3|ssse3|sse41)::/' |
      awk -F '\t' -v pat="$(forbidden sse2)" '$2 ~ pat { print $1 "\t" $2 }' | sort -u)
    if [ -n "$bad" ]; then
      echo "$obj: functions without a build suffix or namespace beyond sse2:"
      echo "$bad"
      status=1
    fi
  fi
  IFS=:
done
IFS=$old_ifs
[ $status -eq 0 ] && echo "objects use instructions up to $ceiling only"
exit $status
