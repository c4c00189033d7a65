#!/bin/sh
# Layout oracle: writes the stand-in's sizes, offsets and GUIDs as checks
# (layout_dump) and has the MinGW-w64 cross compiler check them against its
# own kernel-streaming and port-class headers. Exit 77 (skipped) when the
# cross compiler or its headers are not installed.
# usage: run_oracle.sh LAYOUT_DUMP SOURCE_DIR WORK_DIR
set -eu
dump=$1 src=$2 work=$3
cxx=x86_64-w64-mingw32-g++
cc=x86_64-w64-mingw32-gcc
ddk=/usr/share/mingw-w64/include/ddk
if ! command -v "$cxx" >/dev/null 2>&1 || ! command -v "$cc" >/dev/null 2>&1 || [ ! -f "$ddk/portcls.h" ]; then
  echo "layout oracle skipped: g++-mingw-w64-x86-64 or mingw-w64-x86-64-dev missing: run scripts/setup"
  exit 77
fi
mkdir -p "$work"
"$dump" "$work/user_checks.inc" "$work/kernel_checks.inc"
"$cxx" -std=c++17 -fsyntax-only -I"$src" -DORACLE_CHECKS="\"$work/user_checks.inc\"" "$src/oracle_user.cpp"
"$cc" -std=c11 -fsyntax-only -I"$ddk" -DORACLE_CHECKS="\"$work/kernel_checks.inc\"" "$src/oracle_kernel.c"
grep -c "static_assert\|ORACLE_GUID" "$work/user_checks.inc" "$work/kernel_checks.inc" | sed 's/^/checked: /'
grep "not in the oracle" "$work/user_checks.inc" || true
grep "ORACLE_GUID_DIFFERS" "$work/user_checks.inc" | sed 's/(\([A-Za-z_]*\),.*/: \1/' || true
echo "layout oracle: every size, offset and GUID matches"
