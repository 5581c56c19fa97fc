#!/usr/bin/env bash
# The manual pages install under share/man/man1 and render with no warning from man or groff.
set -u
build=$1
stage=$(mktemp -d /tmp/moh-man.XXXXXX)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" >/dev/null 2>&1
passed=0 failed=0
for page in moh-convert asterisk_convert; do
  file=$(find "$stage" -path "*/share/man/man1/$page.1")
  if [ -z "$file" ]; then
    echo "FAILED: $page.1 was not installed under share/man/man1"
    failed=$((failed + 1))
    continue
  fi
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >"$stage/$page.txt")
  missing=""
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES EXAMPLES "SEE ALSO"; do
    grep -q "^$section\$" "$stage/$page.txt" || missing="$missing $section"
  done
  if [ -n "$warnings" ] || [ -n "$missing" ]; then
    echo "FAILED: $page.1: ${warnings:-}${missing:+ missing sections:$missing}"
    failed=$((failed + 1))
  else
    echo "ok: $page.1"
    passed=$((passed + 1))
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
