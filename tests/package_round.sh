#!/usr/bin/env bash
# One install round of the package, inside a private mount namespace (see package_test.sh).
set -eu
deb=$1 case=$2
mount -t tmpfs tmpfs /mnt
cp "$deb" /mnt/package.deb  # the checkout may live under /tmp, hidden below
deb=/mnt/package.deb
for dir in usr etc var; do
  mkdir -p "/mnt/$dir/upper" "/mnt/$dir/work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=/mnt/$dir/upper,workdir=/mnt/$dir/work" "/$dir"
done
mount -t tmpfs tmpfs /home
mount -t tmpfs tmpfs /tmp
export LC_ALL=C DEBIAN_FRONTEND=noninteractive
link=/usr/lib/nagios/plugins/asterisk_convert
ours=/usr/lib/moh-convert/asterisk_convert
fail() { echo "  $*" >&2; exit 1; }

rm -rf /usr/lib/nagios  # whatever the machine has there, this round starts from its own case
if [ "$case" = foreign ]; then
  mkdir -p "${link%/*}"
  printf '#!/bin/sh\necho the server'"'"'s own\n' >"$link"
  chmod +x "$link"
  cp "$link" /mnt/theirs
fi

dpkg -i "$deb" >/mnt/dpkg.log 2>&1 || fail "dpkg -i failed: $(cat /mnt/dpkg.log)"
if [ "$case" = fresh ]; then
  [ "$(readlink "$link")" = "$ours" ] || fail "no link to our converter"
  lib=/home/services/asterisk/var/lib/asterisk/mohmp3
  mkdir -p "$lib"
  sox -n -r 44100 -c 2 "$lib/a.mp3" synth 0.5 sine 440 vol 0.3
  (cd / && moh-convert) >/mnt/run.log 2>&1 || fail "moh-convert failed: $(cat /mnt/run.log)"
  [ -s "$lib/a.g722" ] || fail "no G.722 output: $(cat /mnt/run.log)"
  [ "$(command -v moh-convert)" = /usr/bin/moh-convert ] || fail "not installed in /usr/bin"
else
  cmp -s /mnt/theirs "$link" || fail "the server's converter was replaced"
  grep -q "$link is another program; left in place" /mnt/dpkg.log || fail "install said nothing"
fi

dpkg -r moh-convert >/mnt/dpkg.log 2>&1 || fail "dpkg -r failed: $(cat /mnt/dpkg.log)"
[ ! -e /usr/bin/moh-convert ] && [ ! -e "$ours" ] || fail "removal left our files"
if [ "$case" = fresh ]; then
  [ ! -L "$link" ] || fail "removal left the link"
else
  cmp -s /mnt/theirs "$link" || fail "removal touched the server's converter"
fi
