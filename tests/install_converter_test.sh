#!/usr/bin/env bash
# cmake --install puts our converter at its fixed path under DESTDIR, updates an earlier copy of
# ours, and never replaces a converter that is not ours.
set -u
build=$1
built=$2
stage=$(mktemp -d /tmp/moh-stage.XXXXXX)
trap 'rm -rf "$stage"' EXIT
dest=$stage/usr/lib/nagios/plugins/asterisk_convert
failures=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi; }
install() { DESTDIR=$stage cmake --install "$build" >"$stage.log" 2>&1; }

install
check "fresh install stages the converter at its fixed path" '[ -x "$dest" ] && cmp -s "$built" "$dest"'

cp "$built" "$dest" && printf 'older build' >>"$dest"
install
check "an earlier copy of ours is updated" 'cmp -s "$built" "$dest"'

printf '#!/bin/sh\necho the server'"'"'s own\n' >"$dest"
cp "$dest" "$stage/theirs"
install
check "a converter that is not ours stays" 'cmp -s "$stage/theirs" "$dest"'
check "and the install says so in one line" \
  '[ "$(grep -c "Not installing the G.722 converter: $dest is another program, left in place" "$stage.log")" = 1 ]'

rm "$dest" && ln -s /nonexistent/converter "$dest"
install
check "a dangling link in its place stays" '[ "$(readlink "$dest")" = /nonexistent/converter ]'

rm -f "$stage.log"
echo "$((5 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
