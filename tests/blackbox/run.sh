#!/usr/bin/env bash
# Runs cases of a black-box script, each in a private mount namespace of its own.
# Usage: run.sh MOH_CONVERT ASTERISK_CONVERT SCRIPT CASE...
set -u
command=$1 converter=$2 script=$3
shift 3
passed=0 failed=0
for case in "$@"; do
  if unshare --mount bash "$script" "$command" "$converter" "$case"; then
    passed=$((passed + 1))
  else
    echo "FAILED: $case"
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
