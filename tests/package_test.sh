#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The Debian package: lintian, its metadata and contents, then its life from install to purge,
# each round in a private mount namespace whose /usr, /etc and /var are overlays and /home, /tmp
# and /run empty, so the machine stays as it was.
set -u
deb=$(realpath -e "$1") || exit 1
here=$(dirname "$(realpath "$0")")
. "$here/checks.sh"
field() { dpkg-deb -f "$deb" "$1"; }
contents=$(dpkg-deb -c "$deb" | awk '{ print $NF }')

lintian_clean() {
  local report
  report=$(lintian --fail-on error,warning "${deb%.deb}.changes" 2>&1) ||
    { echo "$report"; return 1; }
}
check "lintian: no error or warning in the .changes, .buildinfo and both .debs" lintian_clean

check "named moh-convert" [ "$(field Package)" = moh-convert ]
for dependency in sox libsox-fmt-mp3 libspandsp2 libbcg729-0; do
  check "depends on $dependency" grep -qw -- "$dependency" <<<"$(field Depends | tr ',' '\n')"
done
# Documents may or may not be compressed, by their size.
doc=./usr/share/doc/moh-convert
for path in ./usr/bin/moh-convert ./usr/lib/moh-convert/{asterisk,g729}_convert \
  ./usr/share/man/man1/moh-convert.1.gz ./usr/share/man/man1/asterisk_convert.1.gz \
  ./lib/systemd/system/moh-convert.{service,timer,path} \
  ./usr/share/bash-completion/completions/moh-convert \
  $doc/{README.md,README.Debian,log.md,safety.md,performance.md,check.md} \
  $doc/examples/{moh-convert.cron,musiconhold.conf,moh-check-nrpe.cfg,moh-check-icinga2.conf}; do
  check "ships $path" grep -Eqx -- "${path//./\\.}(\\.gz)?" <<<"$contents"
done
check "ships nothing at the converter's fixed path" \
  bash -c '! grep -q nagios <<<"$1"' - "$contents"

check "moh-convert-dbgsym holds the debug symbols of all three programs" \
  [ "$(dpkg-deb -f "${deb/moh-convert_/moh-convert-dbgsym_}" Build-Ids | wc -w)" = 3 ]

# Runs CASE of the life of the package in a namespace of its own; see package_round.sh.
round() { unshare --mount bash "$here/package_round.sh" "$deb" "$1"; }
check "life on a server without /usr/lib/nagios" round fresh
check "life on a server that has /usr/lib/nagios of its own" round shared
check "life on a server with a converter of its own" round foreign
finish
