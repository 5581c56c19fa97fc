# SPDX-License-Identifier: GPL-2.0-or-later
# Sourced by the shell tests: named checks, and the closing count that CTest's log shows.
passed=0 failed=0
check() { # DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
    passed=$((passed + 1))
  else
    echo "FAILED: $what"
    failed=$((failed + 1))
  fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
