# SPDX-License-Identifier: GPL-2.0-or-later
# Sourced by the black-box scripts, inside their private mount namespace, with the arguments
# MOH_CONVERT ASTERISK_CONVERT CASE [HELPER...]. /home, /tmp, /run, /var/lib and
# /usr/lib seen here are private copies, so the real fixed paths stay untouched; /mnt is scratch
# space for the test's own files, with each helper program copied in under its own name.
set -eu
export LC_ALL=C  # find words its messages in the locale; C keeps them, and byte handling, fixed
command=$1 converter=$2 case=$3
shift 3
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/private-paths.sh"
private_paths "$command" "$converter" "$@"
mkdir /mnt/cwd /mnt/check  # check: the test's own records, outside what it watches
lib=/home/services/asterisk/var/lib/asterisk/mohmp3
conv_path=/usr/lib/nagios/plugins/asterisk_convert
work=/var/lib/moh-convert/work

summary() { # CONVERTED RENAMED [FAILED]
  printf 'Found and converted %d mp3 files\n' "$1"
  [ "${3:-0}" = 0 ] || printf '%d of them could not be converted; see the lines above\n' "$3"
  printf 'CHanged name of %d files\nNow, to the db....\n' "$2"
}
converts() { for f in ulaw alaw gsm sln sln16 g722; do printf 'Convert %s to %s\n' "$1" "$f"; done; }
fail() { echo "FAILED ($case): $*"; exit 1; }
# Runs the command from a scratch directory, so that anything it wrongly ran lands in sight. The
# limit catches a hang, not a slow machine: no run here needs a tenth of it even when the machine
# is five times as busy as a quiet one (the longest, hostile's, takes 16 s on a quiet one).
timeout=$(command -v timeout)  # found whatever PATH a case runs with
limit=600
run() {
  local start=$SECONDS
  set +e
  # Not exec'd: the subshell's word on a run killed by a signal goes to the run's stderr.
  (cd /mnt/cwd && "$timeout" -k 5 "$limit" /mnt/moh-convert "$@") >/mnt/check/stdout 2>/mnt/check/stderr
  status=$? run_seconds=$((SECONDS - start))
  set -e
  [ "$run_seconds" -lt "$limit" ] || fail "the run did not end within $limit s: it hung"
}
expect_status() { [ "$status" = "$1" ] || fail "exit status $status, not $1 (stderr: $(cat /mnt/check/stderr))"; }
same_stdout() { diff -u /mnt/check/expected /mnt/check/stdout || fail "stdout differs"; }
# Polls for up to SECONDS until the command succeeds.
eventually() { # SECONDS COMMAND...
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.02
  done
}
gone() { ! kill -0 "$1" 2>/dev/null || grep -q '^State:.*zombie' "/proc/$1/status" 2>/dev/null; }

# The library's writers are the PBX's account, played by nobody.
writer=(setpriv --reuid=65534 --regid=65534 --clear-groups)
as_writer() { "${writer[@]}" "$@"; }
writable_library() { mkdir -p "$lib" && chown 65534:65534 "$lib"; }

# A stand-in sox on the search path: lists mp3 among its formats for "sox -h", records its arguments, one per line after a CALL line,
# and copies its input (the MP3 it is handed) into its output, the last argument. Any argument
# with an unsafe byte, and any path but its private input and /dev/fd/4, is noted as unsafe. A
# case may give it more to do first in /mnt/bin/sox-also, which it sources.
stand_in_sox() {
  mkdir -p /mnt/bin
  cat >/mnt/bin/sox <<'SOX'
#!/bin/sh
[ "$1" != -h ] || { echo 'AUDIO FILE FORMATS: mp3 wav'; exit 0; }
{ echo CALL; for arg in "$@"; do printf '%s\n' "$arg"; done; } >>/mnt/check/sox-calls
for arg in "$@"; do
  case $arg in
  *[!a-zA-Z0-9@#%=:./_-]*) printf 'sox: %s\n' "$arg" >>/mnt/check/unsafe ;;
  /var/lib/moh-convert/work/[0-9]*/*) in=$arg ;;
  /dev/fd/4 | [!/]*) ;;
  *) printf 'sox: %s\n' "$arg" >>/mnt/check/unsafe ;;
  esac
done
eval "out=\${$#}"
[ ! -f /mnt/bin/sox-also ] || . /mnt/bin/sox-also
exec cat "$in" >"$out"
SOX
  chmod +x /mnt/bin/sox
  export PATH=/mnt/bin:$PATH
}
# The decoding command of the run's MP3 number N, named NAME.
decoder_line() { printf 'sox -R %s/%s/%s -c 1 -t sox /dev/fd/4' "$work" "$1" "$2"; }
# The line that names the MP3 STEM.mp3 in the library's top directory and the FORMAT being made.
converting() { printf '  converting %s/%s.mp3 to %s\n' "$lib" "$1" "$2"; }
converter_line() { printf '%s %s/%s/%s.sln16 %s/%s/%s.g722' "$conv_path" "$work" "$1" "$2" "$work" "$1" "$2"; }

# The log of a run over a library of safe names alone, from the listing it left.
clean_log() {
  local line name converted=0
  while IFS= read -r line; do
    name=${line##*/}
    printf 'Leave the name %s alone\n' "$line"
    case $name in
    *.mp3) converts "${name%.mp3}" && converted=$((converted + 1)) ;;
    *) printf 'skipping non-mp3 file conversion of %s-- must already be asterisk compatible!\n' "$name" ;;
    esac
  done </tmp/moh-xx
  summary "$converted" 0
}

# Contents of every regular file in the library, so that a later check can tell none was lost (a
# previous output replaced by a cut one is lost too). A file with further hard links is left
# out: its content lives on outside the library.
# -execdir reaches paths too long to name whole; sha256sum marks odd names with a backslash.
library_hashes() { find "$lib" -type f -links 1 -execdir sha256sum {} + | cut -d' ' -f1 | tr -d '\\' | sort -u; }
remember_library() { library_hashes >/mnt/check/hashes-before; }
nothing_lost() {
  library_hashes >/mnt/check/hashes-after
  local lost
  lost=$(comm -23 /mnt/check/hashes-before /mnt/check/hashes-after | wc -l)
  [ "$lost" = 0 ] || fail "$lost file contents lost"
}
# Everything this namespace shows outside the library and the test's own records: what a run
# may change there is its listing, its lock file and its state directory (in /var/lib's overlay).
outside_state() {
  (cd / && find home tmp mnt run \( -path "${lib#/}" -o -path mnt/check -o -path mnt/work \
    -o -path tmp/moh-xx -o -path run/moh-convert.lock \
    -o -path mnt/var-upper/moh-convert -o -path mnt/var-work \) -prune -o -type f -exec sha256sum {} + \
    -o -printf '%y %p\n') | sort
}
same_outside() {
  outside_state >/mnt/check/outside-after
  diff -u /mnt/check/outside-before /mnt/check/outside-after || fail "something outside the library changed"
}
# What a staged output may leave behind when it is never published.
no_leftovers() {
  local left
  left=$(find "$lib" -maxdepth 1 \( -name '.moh-convert.*' -o -name '.asterisk_convert.*' \))
  [ -z "$left" ] || fail "staging files were left in the library: $left"
}
