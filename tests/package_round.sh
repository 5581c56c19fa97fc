#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The life of the package from install to purge, inside a private mount namespace (see
# package_test.sh). CASE says what the server has before: fresh (no /usr/lib/nagios), shared
# (an empty /usr/lib/nagios of its own) or foreign (a converter of its own at the fixed path).
set -u
deb=$1 case=$2
. "$(dirname "$(realpath "$0")")/checks.sh" # now: the checkout may be under /tmp or /home
mount -t tmpfs tmpfs /mnt
cp "$deb" /mnt/package.deb
for dir in usr etc var; do
  mkdir -p "/mnt/$dir/upper" "/mnt/$dir/work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=/mnt/$dir/upper,workdir=/mnt/$dir/work" "/$dir"
done
for dir in home tmp run; do mount -t tmpfs tmpfs "/$dir"; done
export LC_ALL=C DEBIAN_FRONTEND=noninteractive
link=/usr/lib/nagios/plugins/asterisk_convert
ours=/usr/lib/moh-convert/asterisk_convert
lib=/home/services/asterisk/var/lib/asterisk/mohmp3
quietly() { "$@" >/mnt/out.log 2>&1 || { sed 's/^/  /' /mnt/out.log; return 1; }; }

# Stand-ins that record what they are asked; this systemctl leaves enabling to the real one and
# plays a systemd with nothing running. Without policy-rc.d, which container images carry,
# deb-systemd-invoke acts.
mkdir -p /run/systemd/system
rm -f /usr/sbin/policy-rc.d
# Asterisk's remote console, run as root, first drops to the rungroup of asterisk.conf.
printf '#!/bin/sh\nsetpriv --regid=65534 --clear-groups true || exit 1\necho "$*" >>/mnt/asterisk.log\n' \
  >/usr/sbin/asterisk
mv /usr/bin/systemctl /usr/bin/systemctl.real
cat >/usr/bin/systemctl <<'EOF'
#!/bin/sh
echo "$*" >>/mnt/systemctl.log
case " $* " in
*" is-active "*) exit 3 ;;
*" is-enabled "* | *" --root="*) exec systemctl.real --root=/ "$@" ;;
esac
EOF
chmod +x /usr/sbin/asterisk /usr/bin/systemctl
asked() { grep -Eq "(^| )$1( |$)" /mnt/systemctl.log; }

# Whatever the machine has there, each case starts from its own.
rm -rf /usr/lib/nagios /var/lib/moh-convert
case $case in
shared) mkdir /usr/lib/nagios ;;
foreign)
  mkdir -p "${link%/*}"
  printf '#!/bin/sh\necho the server'"'"'s own\n' >"$link"
  chmod +x "$link"
  cp "$link" /mnt/theirs
  ;;
esac
converter_in_place() { # ours linked, or theirs untouched
  if [ "$case" = foreign ]; then cmp -s /mnt/theirs "$link"; else [ "$(readlink "$link")" = "$ours" ]; fi
}

check "installs" quietly dpkg -i /mnt/package.deb
check "install puts the converter in place" converter_in_place
[ "$case" != foreign ] || check "install says it left the server's converter" \
  grep -q "$link is another program; left in place" /mnt/out.log
enables_and_starts_nothing() {
  ! ls /etc/systemd/system/*.wants/moh-convert.* 2>/dev/null && ! asked start
}
check "install enables and starts no unit" enables_and_starts_nothing

if [ "$case" = fresh ]; then
  silent() { out=$("$@" 2>&1); [ -z "$out" ] || { echo "$out" | sed 's/^/  /'; return 1; }; }
  unit=/lib/systemd/system/moh-convert.service
  check "systemd-analyze verify prints nothing for the three units" \
    silent systemd-analyze verify "$unit" /lib/systemd/system/moh-convert.{timer,path}
  check "systemd-analyze security puts the service's exposure at 2.5 or below" \
    quietly systemd-analyze security --offline=true --threshold=25 "$unit"

  # These two need moh-convert --update --quiet --jobs=0 --prune --reload --seamless. The library
  # is the writer's (nobody's), so that root gets into it only by the capabilities the unit keeps.
  mkdir -p "$lib"
  sox -n -r 44100 -c 2 "$lib/Hold Music.mp3" synth 0.5 sine 440 vol 0.3
  chown -R 65534:65534 "$lib"
  chmod -R go-rwx "$lib"
  setting() { sed -n "s/^$1=//p" "$unit"; }
  command=$(setting ExecStart)
  caps=$(setting CapabilityBoundingSet | tr 'A-Z ' 'a-z,' | sed 's/cap_/+/g')
  bounding=(${caps:+--bounding-set=-all,$caps}) # none named: root keeps them all
  service_run() { # as systemd runs it: from /, with only its default PATH, its capabilities, /proc
    mount -t proc -o "hidepid=$(setting ProtectProc),subset=$(setting ProcSubset)" proc /proc
    (cd / && quietly env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      setpriv --no-new-privs "${bounding[@]}" $command)
    local status=$?
    umount /proc
    return $status
  }
  converts_and_reloads() { # quietly, so it prints nothing
    service_run || return 1
    [ ! -s /mnt/out.log ] || { sed 's/^/  /' /mnt/out.log; return 1; }
    [ -s "$lib/Hold_Music.g722" ] && grep -qsx -- '-rx moh reload' /mnt/asterisk.log
  }
  check "the service's command converts and has Asterisk reload: $command" converts_and_reloads
  library() { find "$lib" -printf '%p %i %s %T@ %C@\n' | sort; }
  changes_nothing() { before=$(library); service_run && [ "$before" = "$(library)" ]; }
  check "a second run of the service's command changes nothing in the library" changes_nothing
fi

systemctl --root=/ enable moh-convert.timer 2>/dev/null
: >/mnt/systemctl.log
check "upgrades over itself" quietly dpkg -i /mnt/package.deb
check "upgrade restarts the timer the administrator enabled" asked 'restart moh-convert.timer'
check "upgrade keeps the converter in place" converter_in_place
: >/mnt/systemctl.log
check "removes" quietly dpkg -r moh-convert
check "removal stops the timer" asked 'stop .*moh-convert.timer'
takes_back_ours() {
  [ ! -e /usr/bin/moh-convert ] && [ ! -e "$ours" ] && [ ! -e /lib/systemd/system/moh-convert.path ] &&
    if [ "$case" = foreign ]; then cmp -s /mnt/theirs "$link"; else [ ! -L "$link" ]; fi
}
check "removal takes back the link and our files, and only those" takes_back_ours
# This version never makes /run/moh-convert: what stands there is someone else's.
mkdir /run/moh-convert && touch /run/moh-convert/theirs
check "purges" quietly dpkg -P moh-convert
check "purge leaves /run/moh-convert alone" test -e /run/moh-convert/theirs
leaves_no_dir_of_ours() {
  for path in /usr/lib/moh-convert /var/lib/moh-convert /run/moh-convert.lock; do
    [ ! -e "$path" ] || return 1
  done
  case $case in
  fresh) [ ! -e /usr/lib/nagios ] ;;
  shared) [ -d /usr/lib/nagios ] && [ ! -e /usr/lib/nagios/plugins ] ;;
  foreign) cmp -s /mnt/theirs "$link" ;;
  esac
}
check "purge leaves no directory of ours" leaves_no_dir_of_ours
finish
