#!/usr/bin/env bash
# One case of the black-box test, run by blackbox_test.sh inside a private mount namespace:
# /home, /tmp and /usr/lib seen here are private copies, so the real fixed paths stay untouched.
set -eu
command=$1 converter=$2 case=$3

. "$(dirname "$0")/../scripts/private-paths.sh"
private_paths "$command" "$converter"

lib=/home/services/asterisk/var/lib/asterisk/mohmp3
summary() { printf 'Found and converted %d mp3 files\nCHanged name of %d files\nNow, to the db....\n' "$1" "$2"; }
converts() { for f in ulaw alaw gsm sln sln16 g722; do printf 'Convert %s to %s\n' "$1" "$f"; done; }
fail() { echo "FAILED ($case): $*"; exit 1; }
# find words its messages in the locale; C keeps them fixed.
run() { set +e; (cd / && LC_ALL=C /mnt/moh-convert) >/mnt/stdout 2>/mnt/stderr; status=$?; set -e; }
same_stdout() {
  diff -u /mnt/expected /mnt/stdout || fail "stdout differs (stderr: $(cat /mnt/stderr))"
}

case $case in
library)
  mkdir -p "$lib/sub"
  sox -n -r 44100 -c 2 "$lib/Hold Music.mp3" synth 1 sine 440 vol 0.3
  sox -n -r 44100 -c 2 "$lib/sub/clean.mp3" synth 0.5 sine 660 vol 0.3
  sox -n -r 8000 -c 1 "$lib/greeting.wav" synth 0.5 sine 500 vol 0.3
  printf 'decrease' >/tmp/xxx  # a stale capture must not make the first run look clipped
  run
  [ "$status" = 0 ] || fail "exit status $status"
  [ ! -s /mnt/stderr ] || fail "unexpected stderr: $(cat /mnt/stderr)"
  [ -f /tmp/moh-xx ] || fail "the listing was not left in /tmp"
  [ ! -e /tmp/xxx ] || fail "the capture file was left in /tmp"
  # find's order is the filesystem's, so the expected log follows the listing it left.
  while IFS= read -r line; do
    case $line in
    "$lib/Hold Music.mp3") printf 'Changed %s => %s\n' "$line" "$lib/Hold_Music.mp3"; converts Hold_Music ;;
    "$lib/sub/clean.mp3") printf 'Leave the name %s alone\n' "$line"; converts clean ;;
    "$lib/greeting.wav")
      printf 'Leave the name %s alone\n' "$line"
      printf 'skipping non-mp3 file conversion of greeting.wav-- must already be asterisk compatible!\n' ;;
    *) fail "unexpected listing line: $line" ;;
    esac
  done </tmp/moh-xx >/mnt/expected
  summary 2 1 >>/mnt/expected
  same_stdout
  [ ! -e "$lib/Hold Music.mp3" ] || fail "the unsafe name is still there"
  for stem in "$lib/Hold_Music" "$lib/sub/clean"; do
    for ext in mp3 ulaw alaw gsm sln sln16 g722; do
      [ -s "$stem.$ext" ] || fail "$stem.$ext is missing or empty"
    done
  done
  [ ! -e "$lib/greeting.ulaw" ] || fail "a .wav was converted"
  ;;
missing)
  run
  [ "$status" = 0 ] || fail "exit status $status"
  { printf "Ignoring listing line find: '%s': No such file or directory -- not under %s\n" "$lib" "$lib"
    summary 0 0; } >/mnt/expected
  same_stdout
  ;;
readonly-tmp)
  mount -o remount,ro /tmp
  run
  [ "$status" = 20 ] || fail "exit status $status"
  printf "Couldn't open /tmp/moh-xx\n" >/mnt/expected
  same_stdout
  ;;
*) fail "no such case" ;;
esac
echo "ok: $case"
