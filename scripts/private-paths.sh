# SPDX-License-Identifier: GPL-2.0-or-later
# Sourced inside a private mount namespace (unshare --mount): gives the namespace its own empty
# /home, /tmp and /run and writable copies of /usr/lib, with our converter at its fixed path, of
# /usr/local/lib and of /var/lib, so that moh-convert can run on its real paths without touching
# the machine's.
# Usage: private_paths MOH_CONVERT ASTERISK_CONVERT [HELPER...]; the command is then
# /mnt/moh-convert, and each helper program is copied into /mnt under its own name.
private_paths() {
  # Copy the programs out first: the checkout itself may live under /tmp or /home.
  mount -t tmpfs tmpfs /mnt
  cp "$1" /mnt/moh-convert
  local helper
  for helper in "${@:3}"; do cp "$helper" /mnt/; done
  mkdir /mnt/upper /mnt/work
  mount -t overlay overlay -o lowerdir=/usr/lib,upperdir=/mnt/upper,workdir=/mnt/work /usr/lib
  # A build from source looks for the G.729 converter under /usr/local/lib.
  mkdir /mnt/local-upper /mnt/local-work
  mount -t overlay overlay -o lowerdir=/usr/local/lib,upperdir=/mnt/local-upper,workdir=/mnt/local-work \
    /usr/local/lib
  mkdir -p /usr/lib/nagios/plugins
  cp "$2" /usr/lib/nagios/plugins/asterisk_convert
  mount -t tmpfs tmpfs /home
  mount -t tmpfs tmpfs /tmp
  mount -t tmpfs tmpfs /run
  mkdir /mnt/var-upper /mnt/var-work
  mount -t overlay overlay -o lowerdir=/var/lib,upperdir=/mnt/var-upper,workdir=/mnt/var-work \
    /var/lib
}
