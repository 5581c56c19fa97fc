#!/usr/bin/env bash
# The built moh-convert on its real fixed paths, each case in a private mount namespace.
set -u
here=$(dirname "$0")
passed=0 failed=0
for case in library missing readonly-tmp; do
  if unshare --mount bash "$here/blackbox_inside.sh" "$1" "$2" "$case"; then
    passed=$((passed + 1))
  else
    echo "FAILED: $case"
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
