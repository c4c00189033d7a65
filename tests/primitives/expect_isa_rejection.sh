#!/bin/sh
# Runs the instruction-set check on a probe that breaks one of its rules.
# Passes only when the check fails, its report names the function REJECTED,
# and no line of it names the function ACCEPTED (the probe's lawful twin);
# a check that passes, or fails for another reason, fails this test.
#
#   expect_isa_rejection.sh REJECTED ACCEPTED CHECK-ARGUMENTS...
set -u
rejected=$1 accepted=$2
shift 2
report=$("$(dirname "$0")/check_generic_isa.sh" "$@" 2>&1)
status=$?
printf '%s\n' "$report"
if [ $status -eq 0 ]; then
  echo "FAIL: the check accepted a probe it must reject"
  exit 1
fi
if ! printf '%s\n' "$report" | grep -q "^$rejected("; then
  echo "FAIL: the report does not name $rejected"
  exit 1
fi
if printf '%s\n' "$report" | grep -q "^$accepted("; then
  echo "FAIL: the report names $accepted, which stays within its build"
  exit 1
fi
echo "the check rejects $rejected and accepts $accepted"
