#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The built moh-convert, run as root, against a library writer (nobody) who races it: links and
# FIFOs planted at its outputs and its MP3s while it runs, a run killed midway, a second run
# started over the first. Nothing outside the library may change, every run must end within
# bounds, and an output under its final name is always whole: the new one or the previous one.
# Helper: the replanter (replant.cpp).
. "$(dirname "$0")/lib.sh"

writable_library
stand_in_sox
# An MP3 of the writer's, with content of its own.
mp3() { as_writer sh -c 'printf "%s\n" "$1" >"$2"' - "$1" "$lib/$1"; }
same_content() { cmp -s "$1" "$2" || fail "$2 is not $1 whole"; }

case $case in
planted-outputs)
  printf 'root only\n' >/mnt/victim
  chmod 600 /mnt/victim
  plants=()
  for i in 1 2 3 4 5 6; do
    mp3 "s$i.mp3"
    for format in ulaw alaw gsm sln g722; do plants+=("s$i.$format=link:/mnt/victim"); done
    plants+=("s$i.sln16=fifo")
  done
  mp3 swap.mp3
  plants+=(swap.mp3=fifo swap.mp3=file)  # the MP3 itself, a FIFO or a file by turns
  outside_state >/mnt/check/outside-before
  "${writer[@]}" /mnt/replant "$lib" "${plants[@]}" &  # not through a function: $! is its pid
  replanter=$!
  eventually "$limit" test -L "$lib/s6.g722" || fail "the replanter did not start"
  run
  gone "$replanter" && fail "the replanter stopped during the run"
  kill "$replanter"
  wait "$replanter" || true
  # swap.mp3 may be met as a FIFO, which is refused with a line, or as a file, which converts.
  if grep -q '^Not converting .*/swap.mp3 -- ' /mnt/check/stdout; then expect_status 1; else expect_status 0; fi
  same_outside
  ! grep -E '^(Command|Couldn|Not converting .*/s[0-9])' /mnt/check/stdout || fail "a conversion failed"
  [ "$(grep -c '^Convert s[0-9] to g722$' /mnt/check/stdout)" = 6 ] || fail "not every MP3 was converted"
  ;;
killed)
  mp3 a.mp3
  for format in ulaw alaw gsm sln sln16 g722; do printf 'previous %s\n' "$format" >"$lib/a.$format"; done
  cp "$conv_path" /mnt/real-convert
  outside_state >/mnt/check/outside-before
  # A child that stops after writing part of its output, until it is killed.
  hold() { printf '%s\n' 'head -c 3 "$in" >"$out"; echo "$$ $PPID" >/mnt/check/held; exec sleep 600'; }
  kill_held() { eventually "$limit" test -s /mnt/check/held && kill "-$1" "$(cut -d' ' -f2 /mnt/check/held)"; }

  # SIGTERM while sox writes the .sln; a player holds the old .ulaw open meanwhile.
  { echo 'case " $* " in *" -r 8000 -c 1 "*" -b 16 "*) ;; *) return ;; esac'; hold; } >/mnt/bin/sox-also
  exec 5<"$lib/a.ulaw"
  kill_held TERM &
  run
  expect_status 143
  [ "$run_seconds" -lt 120 ] || fail "the run did not stop promptly"  # its held child sleeps 600 s
  clean_log | sed '/^Convert a to sln$/q' >/mnt/check/expected
  same_stdout
  eventually "$limit" gone "$(cut -d' ' -f1 /mnt/check/held)" || fail "the interrupted sox was left running"
  for format in ulaw alaw gsm; do same_content "$lib/a.mp3" "$lib/a.$format"; done
  for format in sln sln16 g722; do
    [ "$(cat "$lib/a.$format")" = "previous $format" ] || fail "a.$format was cut"
  done
  [ "$(cat <&5)" = "previous ulaw" ] || fail "a player of the old a.ulaw lost it"
  [ ! -e "$work" ] || fail "the work directory was left behind"
  no_leftovers

  # SIGKILL while the MP3 is decoded: the decoded audio has no name, so none of it can be left
  # behind; its room goes with the last child that holds it.
  { echo 'case " $* " in *" -b 32 -r 8000 /dev/fd/4 "*) ;; *) return ;; esac'; hold; } >/mnt/bin/sox-also
  rm /mnt/check/held
  kill_held KILL &
  run
  expect_status 137
  [ -z "$(find "$work" -type f)" ] || fail "decoded audio was left in the work directory"
  kill "$(cut -d' ' -f1 /mnt/check/held)"
  no_leftovers
  # SIGTERM there: every child of the decoding goes, and the run stops promptly.
  rm /mnt/check/held
  kill_held TERM &
  run
  expect_status 143
  [ "$run_seconds" -lt 120 ] || fail "the run did not stop promptly"  # its held child sleeps 600 s
  eventually "$limit" gone "$(cut -d' ' -f1 /mnt/check/held)" || fail "the interrupted resampler was left running"

  # SIGKILL while the converter writes, staging its output beside OUT as ours does: nothing can
  # clean up, and nothing needs to.
  rm /mnt/bin/sox-also /mnt/check/held
  { echo '#!/bin/sh'; echo 'in=$1 out=${2%/*}/.asterisk_convert.held'; hold; } >"$conv_path"
  kill_held KILL &
  run
  expect_status 137
  same_content "$lib/a.mp3" "$lib/a.sln16"
  [ "$(cat "$lib/a.g722")" = "previous g722" ] || fail "a.g722 was cut"
  no_leftovers
  [ -d "$work" ] || fail "the killed run left no work directory to clear"

  # The next run takes over, while the killed run's converter lives on: neither the lock nor the
  # work directory that the killed run left stands in its way.
  cp /mnt/real-convert "$conv_path"
  run
  kill "$(cut -d' ' -f1 /mnt/check/held)" || true
  expect_status 0
  clean_log >/mnt/check/expected
  same_stdout
  [ "$(cat "$lib/a.g722")" != "previous g722" ] || fail "a.g722 was not converted again"
  [ ! -e "$work" ] || fail "what the killed run left in the work directory stayed"
  same_outside
  ;;
overlap)
  mp3 'Hold Music.mp3'
  # The first run's first sox waits for the second run to be over.
  printf '%s\n' 'echo $PPID >/mnt/check/first; while [ ! -e /mnt/check/go ]; do sleep 0.02; done' >/mnt/bin/sox-also
  (cd /mnt/cwd && exec "$timeout" "$limit" /mnt/moh-convert) >/mnt/check/first-stdout 2>&1 &
  first=$!
  eventually "$limit" test -s /mnt/check/first || fail "the first run did not start converting"
  rm /mnt/bin/sox-also
  state() { find "$lib" /tmp /run -printf '%p %y %i %s %T@\n' | sort; }
  state >/mnt/check/state-before
  run
  state | diff /mnt/check/state-before - || fail "the second run changed something"
  expect_status 75
  printf 'moh-convert: another run (pid %s) is in progress; not starting\n' "$(cat /mnt/check/first)" |
    diff - /mnt/check/stderr || fail "stderr differs"
  [ ! -s /mnt/check/stdout ] || fail "the second run printed: $(cat /mnt/check/stdout)"
  touch /mnt/check/go
  wait "$first" || fail "the first run failed"
  { printf 'Changed %s => %s\n' "$lib/Hold Music.mp3" "$lib/Hold_Music.mp3"; converts Hold_Music; summary 1 1; } |
    diff - /mnt/check/first-stdout || fail "the first run's log differs"
  for format in ulaw alaw gsm sln sln16; do same_content "$lib/Hold_Music.mp3" "$lib/Hold_Music.$format"; done
  ;;
sticky-reupload)
  # In a sticky shared folder the writer cannot remove another account's file; a re-upload under
  # the same unsafe name must not have root remove it for them.
  mkdir -p "$lib/shared" && chmod 1777 "$lib/shared"
  setpriv --reuid=1000 --regid=1000 --clear-groups sh -c 'echo theirs >"$1"' - "$lib/shared/Hold Music.mp3"
  run
  as_writer rm -f "$lib/shared/Hold_Music.mp3" 2>/dev/null && fail "the writer could remove it itself"
  mp3 "shared/Hold Music.mp3"
  run
  [ "$(cat "$lib/shared/Hold_Music.mp3" 2>/dev/null)" = theirs ] || fail "another account's upload was removed"
  # Nor may an upload of the writer's have root replace that account's file at an output name.
  setpriv --reuid=1000 --regid=1000 --clear-groups sh -c 'echo hers >"$1"' - "$lib/shared/song.ulaw"
  mp3 shared/song.mp3
  run
  [ "$(cat "$lib/shared/song.ulaw")" = hers ] || fail "another account's song.ulaw was replaced"
  grep -qxF "Couldn't write $lib/shared/song.ulaw: Operation not permitted" /mnt/check/stdout ||
    fail "no line for the refused output: $(cat /mnt/check/stdout)"
  ;;
*) fail "no such case" ;;
esac
