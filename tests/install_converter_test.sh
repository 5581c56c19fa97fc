#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# cmake --install puts our converter at its fixed path under DESTDIR, updates an earlier copy of
# ours, and never replaces a converter that is not ours.
set -u
. "$(dirname "$0")/checks.sh"
build=$1 built=$2
stage=$(mktemp -d /tmp/moh-stage.XXXXXX)
trap 'rm -rf "$stage" "$stage.log"' EXIT
dest=$stage/usr/lib/nagios/plugins/asterisk_convert
install() { DESTDIR=$stage cmake --install "$build" >"$stage.log" 2>&1; }
same() { cmp -s "$1" "$2"; }

install
check "fresh install stages the converter at its fixed path" same "$built" "$dest"

cp "$built" "$dest" && printf 'older build' >>"$dest"
install
check "an earlier copy of ours is updated" same "$built" "$dest"

printf '#!/bin/sh\necho the server'"'"'s own\n' >"$dest"
cp "$dest" "$stage/theirs"
install
check "a converter that is not ours stays" same "$stage/theirs" "$dest"
check "and the install says so in one line" [ "$(grep -c \
  "Not installing the G.722 converter: $dest is another program, left in place" "$stage.log")" = 1 ]

rm "$dest" && ln -s /nonexistent/converter "$dest"
install
check "a dangling link in its place stays" [ "$(readlink "$dest")" = /nonexistent/converter ]
finish
