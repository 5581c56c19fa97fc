#!/usr/bin/env bash
# The built moh-convert on its fixed paths: a small real library, a missing library, and a
# listing that cannot be written.
. "$(dirname "$0")/lib.sh"

case $case in
library)
  mkdir -p "$lib/sub"
  sox -n -r 44100 -c 2 "$lib/Hold Music.mp3" synth 1 sine 440 vol 0.3
  sox -n -r 44100 -c 2 "$lib/sub/clean.mp3" synth 0.5 sine 660 vol 0.3
  sox -n -r 8000 -c 1 "$lib/greeting.wav" synth 0.5 sine 500 vol 0.3
  printf 'decrease' >/tmp/xxx  # a stale capture must not make the first run look clipped
  run
  expect_status 0
  [ ! -s /mnt/check/stderr ] || fail "unexpected stderr: $(cat /mnt/check/stderr)"
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
  done </tmp/moh-xx >/mnt/check/expected
  summary 2 1 >>/mnt/check/expected
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
  expect_status 0
  { printf "Ignoring listing line find: '%s': No such file or directory -- not under %s\n" "$lib" "$lib"
    summary 0 0; } >/mnt/check/expected
  same_stdout
  ;;
readonly-tmp)
  mount -o remount,ro /tmp
  run
  expect_status 20
  printf "Couldn't open /tmp/moh-xx\n" >/mnt/check/expected
  same_stdout
  ;;
*) fail "no such case" ;;
esac
