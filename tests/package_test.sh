#!/usr/bin/env bash
# The Debian package: its metadata and contents, then install, one run and removal, each in a
# private mount namespace whose /usr, /etc and /var are overlays, so the machine stays as it was.
set -u
deb=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
. "$here/checks.sh"
field() { dpkg-deb -f "$deb" "$1"; }
contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')

check "named moh-convert" [ "$(field Package)" = moh-convert ]
for dependency in sox libsox-fmt-mp3 libspandsp2; do
  check "depends on $dependency" grep -qw -- "$dependency" <<<"$(field Depends | tr ',' '\n')"
done
for path in ./usr/bin/moh-convert ./usr/lib/moh-convert/asterisk_convert \
  ./usr/share/man/man1/moh-convert.1.gz ./usr/share/man/man1/asterisk_convert.1.gz; do
  check "ships $path" grep -qx -- "$path" <<<"$contents"
done
check "ships nothing at the converter's fixed path" \
  bash -c '! grep -q nagios <<<"$1"' - "$contents"

# Runs CASE of the install round in a namespace of its own.
round() { unshare --mount bash "$here/package_round.sh" "$deb" "$1"; }
check "install links the converter where none stood, runs, and removal unlinks it" round fresh
check "install and removal leave a converter that is not ours in place" round foreign
finish
