#!/usr/bin/env bash
# The built moh-convert when its tools, its disk or its temporary paths fail it: each case gives
# the failure lines of the log, the exit status, and loses no file.
. "$(dirname "$0")/lib.sh"

mkdir -p "$lib"
sox -n -r 44100 -c 2 /mnt/a.mp3 synth 0.5 sine 440 vol 0.3
with_mp3() { cp /mnt/a.mp3 "$lib/a.mp3"; remember_library; }
# The lines of the clean MP3 STEM.mp3 whose sox runs fail as FAILURE (a format string taking the
# command line, or empty) and whose converter fails as CONVERTER_FAILURE.
entry_log() { # STEM FAILURE CONVERTER_FAILURE
  printf 'Leave the name %s alone\n' "$lib/$1.mp3"
  local factor="" format
  for format in ulaw alaw gsm sln sln16; do
    printf 'Convert %s to %s\n' "$1" "$format"
    # shellcheck disable=SC2059
    [ -z "$2" ] || printf "$2\n" "$(sox_line "$format" "$lib" "$1" "$factor")"
    factor=1
  done
  printf 'Convert %s to g722\n' "$1"
  # shellcheck disable=SC2059
  [ -z "$3" ] || printf "$3\n" "$(converter_line "$lib" "$1")"
}
# The whole log of a library holding a.mp3 alone.
failing_log() { entry_log a "$@"; summary 1 0; }

case $case in
no-sox)
  with_mp3
  mkdir /mnt/nosox && ln -s "$(command -v find)" /mnt/nosox/find
  PATH=/mnt/nosox run
  expect_status 0
  failing_log 'Command failed with exit status 127: %s' 'Command failed with exit status 1: %s' >/mnt/check/expected
  same_stdout
  ;;
no-converter)
  with_mp3
  rm "$conv_path"
  run
  expect_status 0
  failing_log '' 'Command failed with exit status 127: %s' >/mnt/check/expected
  same_stdout
  [ -s "$lib/a.sln16" ] || fail "the sox outputs are missing"
  ;;
readonly-library)
  with_mp3
  cp /mnt/a.mp3 "$lib/Hold Music.mp3"
  mount --bind "$lib" "$lib" && mount -o remount,bind,ro "$lib"
  run
  expect_status 0
  while IFS= read -r line; do
    case $line in
    "$lib/Hold Music.mp3")
      printf "Couldn't rename %s => %s: Read-only file system\n" "$line" "$lib/Hold_Music.mp3" ;;
    "$lib/a.mp3")
      entry_log a 'Command failed with exit status 2: %s' 'Command failed with exit status 1: %s' ;;
    *) fail "unexpected listing line: $line" ;;
    esac
  done </tmp/moh-xx >/mnt/check/expected
  summary 1 0 >>/mnt/check/expected
  same_stdout
  ;;
full-disk)
  mount -t tmpfs -o size=64k tmpfs "$lib"
  sox -n -r 44100 -c 2 "$lib/a.mp3" synth 3 sine 440 vol 0.3
  remember_library
  run
  expect_status 0
  # sox may exit 0 after a failed write; either way each sox run must be reported failed. (The
  # converter may well succeed, on whatever the failed .sln16 run left.)
  failures=$(grep -c -E '^Command (failed with exit status [1-9]: sox |reported "sox FAIL )' /mnt/check/stdout || true)
  [ "$failures" = 5 ] || fail "$failures sox failure lines, not 5: $(cat /mnt/check/stdout)"
  [ "$(grep -c '^Convert a to ' /mnt/check/stdout)" = 6 ] || fail "a conversion was left out"
  ! ls -A "$lib" | grep -q '^\.asterisk_convert' || fail "the converter left its staging file"
  ;;
planted-links | planted-files)
  with_mp3
  printf 'victim of the listing\n' >/mnt/victim-listing
  printf 'victim of the capture, decrease\n' >/mnt/victim-capture
  if [ "$case" = planted-links ]; then
    ln -s /mnt/victim-listing /tmp/moh-xx
    ln -s /mnt/victim-capture /tmp/xxx
  else
    cp /mnt/victim-listing /tmp/moh-xx
    cp /mnt/victim-capture /tmp/xxx
  fi
  run
  expect_status 0
  failing_log '' '' >/mnt/check/expected
  same_stdout
  [ "$(cat /mnt/victim-listing)" = "victim of the listing" ] || fail "the listing was written through"
  [ "$(cat /mnt/victim-capture)" = "victim of the capture, decrease" ] || fail "the capture was written through"
  [ -f /tmp/moh-xx ] && [ ! -L /tmp/moh-xx ] || fail "the listing is not a file of its own"
  ;;
planted-directory)
  with_mp3
  mkdir -p /tmp/moh-xx/inside
  run
  expect_status 20
  printf "Couldn't open /tmp/moh-xx\n" >/mnt/check/expected
  same_stdout
  ;;
broken-mp3s)
  : >"$lib/empty.mp3"
  printf 'not audio at all\n' >"$lib/corrupt.mp3"
  remember_library
  run
  expect_status 0
  while IFS= read -r line; do
    stem=${line##*/}
    entry_log "${stem%.mp3}" 'Command failed with exit status 2: %s' 'Command failed with exit status 1: %s'
  done </tmp/moh-xx >/mnt/check/expected
  summary 2 0 >>/mnt/check/expected
  same_stdout
  ;;
always-clipping)
  with_mp3
  stand_in_sox
  printf 'echo "sox WARN rate: rate clipped 5 samples; decrease volume?" >&2\n' >>/mnt/bin/sox
  run
  expect_status 0
  {
    printf 'Leave the name %s alone\nConvert a to ulaw\n' "$lib/a.mp3"
    for factor in 0.9 0.8 0.7 0.6 0.5 0.4 0.3 0.2 0.1; do
      printf 'Volume appears to be too high; trying %s...\n' "$factor"
    done
    printf 'Still clipping at volume 0.1; keeping this conversion\n'
    for format in alaw gsm sln sln16; do
      printf 'Convert a to %s\nStill clipping at volume 0.1; keeping this conversion\n' "$format"
    done
    printf 'Convert a to g722\n'
    summary 1 0
  } >/mnt/check/expected
  same_stdout
  [ "$(grep -c '^-v$' /mnt/check/sox-calls)" = 13 ] || fail "not 13 sox runs with a factor"
  ;;
*) fail "no such case" ;;
esac
nothing_lost
