#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The built moh-convert on its fixed paths: a small real library reached through a link, a
# missing library, a listing that cannot be written, and a tree far deeper than any library.
. "$(dirname "$0")/lib.sh"

case $case in
library)
  # Administrators keep the music on another disk and link it into place.
  mkdir -p '/home/music/Christmas Songs' "${lib%/*}"
  ln -s /home/music "$lib"
  sox -n -r 44100 -c 2 "$lib/Hold Music.mp3" synth 1 sine 440 vol 0.3
  sox -n -r 44100 -c 2 "$lib/Christmas Songs/Silent Night.MP3" synth 0.5 sine 660 vol 0.3
  sox -n -r 8000 -c 1 -b 16 -e signed-integer "$lib/greeting.wav" synth 0.5 sine 500 vol 0.3
  # find's order is the filesystem's, so the expected log follows the listing it left.
  # A class folder keeps its name, which musiconhold.conf gives; its files are renamed within it.
  log_of() { # RENAMED CONVERT SUMMARY: the log, with a rename said as RENAMED, each MP3 given to CONVERT
    while IFS= read -r line; do
      case $line in
      "$lib/Hold Music.mp3") printf '%s %s => %s\n' "$1" "$line" "$lib/Hold_Music.mp3"; $2 "$lib/Hold_Music.mp3" ;;
      "$lib/Christmas Songs/Silent Night.MP3")
        printf '%s %s => %s\n' "$1" "$line" "$lib/Christmas Songs/Silent_Night.MP3"
        $2 "$lib/Christmas Songs/Silent_Night.MP3" ;;
      "$lib/greeting.wav")
        printf 'Leave the name %s alone\n' "$line"
        printf 'skipping non-mp3 file conversion of greeting.wav-- must already be asterisk compatible!\n' ;;
      *) fail "unexpected listing line: $line" ;;
      esac
    done </mnt/check/listing
    $3
  }
  would_summary() { printf 'Would convert 2 mp3 files\nWould change the names of 2 files\nNow, to the db....\n'; }
  would_convert() { printf 'Would convert %s\n' "$1"; }
  convert() { local name=${1##*/}; converts "${name%.*}"; }

  find "$lib/" | sort >/mnt/check/before
  run --dry-run
  expect_status 0
  find "$lib/" | sort | diff /mnt/check/before - || fail "a dry run changed the library"
  cp /tmp/moh-xx /mnt/check/listing
  log_of 'Would change' would_convert would_summary >/mnt/check/expected
  same_stdout

  run
  expect_status 0
  [ ! -s /mnt/check/stderr ] || fail "unexpected stderr: $(cat /mnt/check/stderr)"
  cmp -s /tmp/moh-xx /mnt/check/listing || fail "the listing was not left in /tmp"
  [ "$(stat -c %a /tmp/moh-xx)" = 600 ] || fail "the listing is readable by others"
  [ ! -e "$work" ] || fail "the work directory was left behind"
  log_of Changed convert 'summary 2 2' >/mnt/check/expected
  same_stdout
  for stem in Hold_Music 'Christmas Songs/Silent_Night'; do
    for ext in ulaw alaw gsm sln sln16 g722; do
      [ -s "/home/music/$stem.$ext" ] || fail "$stem.$ext is missing or empty"
    done
  done
  [ ! -e "$lib/greeting.ulaw" ] || fail "a .wav was converted"
  ;;
missing)
  run
  expect_status 20
  printf "Couldn't open the library %s: No such file or directory\n" "$lib" >/mnt/check/expected
  same_stdout
  mkdir -p "${lib%/*}" && touch "$lib"
  run
  expect_status 20
  printf "Couldn't open the library %s: Not a directory\n" "$lib" >/mnt/check/expected
  same_stdout
  # The account that owns a folder above the library cannot point it elsewhere with a link;
  # the refusal names the link by the path it was met at, past root's own links.
  mkdir -m 700 /home/victim && touch '/home/victim/root only.wav'
  rm "$lib" && chown nobody "${lib%/*}"
  as_writer ln -s /home/victim "$lib"
  mkdir -m 777 /home/shared && as_writer ln -s /home/victim /home/shared/moh
  for link in "$lib" /home/shared/moh; do
    [ "$link" = "$lib" ] || { rm "$lib" && ln -s /home/music/../shared/moh "$lib" && mkdir /home/music; }
    run
    expect_status 20
    printf "Couldn't open the library %s: %s is a link that root does not own\n" "$lib" "$link" >/mnt/check/expected
    same_stdout
  done
  [ -e '/home/victim/root only.wav' ] || fail "the run acted where a writer's link pointed"
  ;;
swapped-library)
  # The account that owns the folder above the library swaps it for a link to a root-only
  # directory after the run opened it, just before find starts: find lists what was opened.
  mkdir -p "$lib" && chown nobody "${lib%/*}"
  cp /dev/null "$lib/a.mp3"
  mkdir -m 700 /home/victim && touch /home/victim/secret.mp3
  real_find=$(command -v find)
  stand_in_sox
  cat >/mnt/bin/find <<FIND
#!/bin/sh
[ -L "$lib" ] || setpriv --reuid=65534 --regid=65534 --clear-groups \
  sh -c 'mv "$lib" "$lib.opened" && ln -s /home/victim "$lib"'
exec $real_find "\$@"
FIND
  chmod 755 /mnt/bin/find
  run
  expect_status 0
  [ -L "$lib" ] || fail "the stand-in find did not swap the library"
  printf '%s\n' "$lib/a.mp3" | cmp -s - /tmp/moh-xx || fail "the listing holds: $(cat /tmp/moh-xx)"
  [ -e "$lib.opened/a.g722" ] || fail "the library that was opened was not converted"
  ;;
not-root)
  # Anyone may ask for help or the version, or get a usage error; a run is root's.
  mkdir -p "$lib"
  while read -r option want; do
    set +e
    (cd /mnt/cwd && as_writer /mnt/moh-convert $option) >/mnt/check/stdout 2>/mnt/check/stderr
    status=$?
    set -e
    expect_status "$want"
    [ "$want" != 77 ] || echo 'moh-convert: must be run as root' | diff - /mnt/check/stderr ||
      fail "stderr differs for $option"
  done <<'ROWS'
-n 77
-u 77
--help 0
--version 0
--bogus 2
ROWS
  [ ! -e /tmp/moh-xx ] && [ ! -e /run/moh-convert.lock ] || fail "a run by another user started"
  ;;
journal)
  # Under systemd, stdout is the journal's stream when JOURNAL_STREAM names it; only then
  # does each line start with its priority, so that the journal can tell the problems.
  mkdir -p "$lib"
  cp /dev/null "$lib/a.mp3"
  mkfifo "$lib/fifo.mp3"
  run -n
  cp /mnt/check/stdout /mnt/check/plain
  grep -q '^Not converting' /mnt/check/plain || fail "no problem line to see: $(cat /mnt/check/plain)"
  JOURNAL_STREAM=$(stat -c %d:%i /mnt/check/stdout) run -n
  sed -e '/^Not converting/s/^/<4>/' -e '/^</!s/^/<6>/' /mnt/check/plain >/mnt/check/expected
  same_stdout
  JOURNAL_STREAM=$(stat -c %d:%i /mnt/check/plain) run -n
  cp /mnt/check/plain /mnt/check/expected
  same_stdout
  ;;
unwritable-tmp)
  mkdir -p "$lib"
  cp /dev/null "$lib/Hold Music.mp3"
  find "$lib" >/mnt/check/before
  for reason in "Read-only file system" "No space left on device"; do
    if [ "$reason" = "Read-only file system" ]; then
      printf '%s\n' "$lib/old.mp3" >/tmp/moh-xx  # the last run's listing, left for inspection
      mount -o remount,ro /tmp
    else  # the listing can be created, but not written
      mount -t tmpfs -o size=16k tmpfs /tmp
      cat /dev/zero >/tmp/filler 2>/dev/null || true
    fi
    run
    expect_status 20
    printf "Couldn't write the listing /tmp/moh-xx: %s\n" "$reason" >/mnt/check/expected
    same_stdout
    find "$lib" | diff /mnt/check/before - || fail "the library was walked ($reason)"
  done
  ;;
deep)
  # Listing every level of a chain of directories costs the square of its depth: the listing
  # stops at 32, so 2,000 levels take about as long as 32.
  mkdir -p "$lib/a/b"
  sox -n -r 8000 -c 1 "$lib/a/b/three.mp3" synth 0.2 sine 440 vol 0.3
  mkdir -p "$lib/$(printf 'd/%.0s' $(seq 32))"
  # A hidden folder is never entered, so no depth of it is a problem either.
  mkdir -p "$lib/.Trash-1000/$(printf 'd/%.0s' $(seq 40))"
  run
  shallow=$run_seconds
  expect_status 0
  mkdir -p "$lib/$(printf 'd/%.0s' $(seq 2000))"
  run
  expect_status 1
  # Quadratic, it would take thousands of times as long: the bound holds on a busy machine.
  [ "$run_seconds" -le $((10 * shallow + 10)) ] || fail "2,000 levels took ${run_seconds} s, 32 took ${shallow} s"
  grep -qx "Not descending below 32 levels: $lib$(printf '/d%.0s' $(seq 32))" /mnt/check/stdout ||
    fail "the depth bound was not reported: $(head -3 /mnt/check/stdout)"
  grep -qx "Convert three to g722" /mnt/check/stdout || fail "the MP3 at level 3 was not converted"
  [ -s "$lib/a/b/three.g722" ] || fail "no output for the MP3 at level 3"
  ;;
other-library)
  # Stock Asterisk keeps its music under its own data directory.
  other=/var/lib/asterisk/moh
  mkdir -p "$other/Sales Queue"
  sox -n -r 44100 -c 2 "$other/Sales Queue/Hold Music.mp3" synth 0.5 sine 440 vol 0.3
  run --library="$other/"
  expect_status 0
  [ -s "$other/Sales Queue/Hold_Music.g722" ] || fail "the other library was not converted"
  [ ! -e "$lib" ] || fail "the fixed library was made or touched"
  grep -qx "Changed $other/Sales Queue/Hold Music.mp3 => $other/Sales Queue/Hold_Music.mp3" /mnt/check/stdout ||
    fail "the log does not name the other library: $(head -3 /mnt/check/stdout)"
  ;;
plays)
  # What Asterisk opens as it is must play: CD-quality WAVs are converted, other refusals said.
  mkdir -p "$lib/Sales Queue"
  cd "$lib/Sales Queue"
  sox -n -r 44100 -c 2 -b 16 cd.wav synth 3 sine 440 vol 0.3
  sox -n -r 16000 -c 1 -b 16 wide.wav synth 1 sine 440 vol 0.3
  sox -n -r 8000 -c 1 -b 16 -e signed-integer ready.wav synth 1 sine 440 vol 0.3
  sox -n -r 8000 -c 1 -b 16 -e signed-integer PCM.WAV synth 1 sine 440 vol 0.3
  sox -n -r 44100 -c 2 gone.mp3 synth 1 sine 440 vol 0.3
  sox -n -r 44100 -c 2 same.mp3 synth 3 sine 440 vol 0.3
  cd /
  # WAVs converted well need no one; a file Asterisk cannot play that is not converted does.
  run --prune
  expect_status 0
  cp /mnt/check/stdout /mnt/check/converted
  # At a terminal, the progress counts the five sources to convert and names them below the
  # library.
  script -qec "$timeout $limit /mnt/moh-convert" /dev/null >/mnt/check/terminal </dev/null
  grep -qF "[5/5] Sales Queue/" /mnt/check/terminal && ! grep -qF "] $lib" /mnt/check/terminal ||
    fail "progress: $(tr '\r' '\n' </mnt/check/terminal | grep -F '[' | head -3)"
  sox -n -r 8000 -c 1 -b 16 -e signed-integer -t wav "$lib/Sales Queue/clicks.ulaw" synth 1 sine 440 vol 0.3
  run --quiet
  expect_status 1
  at="$lib/Sales Queue"
  printf 'Not playable by Asterisk: %s -- it begins with a "RIFF" header, which plays as noise\n' \
    "$at/clicks.ulaw" >/mnt/check/expected
  same_stdout
  # The MP3 beside a WAV owns its outputs; it is said to be converted instead only when it is.
  ln -s /mnt/check/expected "$at/song.mp3" && sox -n -r 44100 -c 2 -b 16 "$at/song.wav" synth 1 sine 440 vol 0.3
  run --quiet
  grep -qxF "Not playable by Asterisk: $at/song.wav -- 44100 Hz, 2 channels, 16-bit PCM; song.mp3 beside it has the same outputs" \
    /mnt/check/stdout || fail "the refused song.mp3 was said to be converted: $(cat /mnt/check/stdout)"
  rm "$at/song.mp3" "$at/song.wav"
  cp /mnt/check/converted /mnt/check/stdout
  for line in "Not playable by Asterisk as it is: $at/cd.wav -- 44100 Hz, 2 channels, 16-bit PCM; converting it" \
    "Not playable by Asterisk as it is: $at/wide.wav -- 16000 Hz, 1 channel, 16-bit PCM; converting it" \
    "skipping non-mp3 file conversion of ready.wav-- must already be asterisk compatible!" \
    "Not playable by Asterisk as it is: $at/PCM.WAV -- 8000 Hz, 1 channel, 16-bit PCM; .WAV is read as GSM 6.10; converting it" \
    "Converted 3 files Asterisk could not play"; do
    grep -qxF "$line" /mnt/check/stdout || fail "no line: $line"
  done
  for stem in cd wide PCM gone; do
    for ext in ulaw alaw gsm sln sln16 g722; do [ -s "$at/$stem.$ext" ] || fail "no $stem.$ext"; done
  done
  [ ! -e "$at/ready.ulaw" ] || fail "a playable WAV was converted"
  # 8000 samples a second, within one frame, and G.722 as long as from an MP3 of the music,
  # within one MP3 frame (1152 samples at 44.1 kHz: 209 bytes of G.722).
  [ $(($(stat -c %s "$at/cd.ulaw") - 24000)) -le 160 ] && [ $(($(stat -c %s "$at/cd.ulaw") - 24000)) -ge -160 ] ||
    fail "cd.ulaw holds $(stat -c %s "$at/cd.ulaw") samples for 3 s"
  g722=$(stat -c %s "$at/cd.g722") from_mp3=$(stat -c %s "$at/same.g722")
  [ $((g722 - from_mp3)) -le 209 ] && [ $((from_mp3 - g722)) -le 209 ] ||
    fail "cd.g722 is $g722 bytes, the MP3's $from_mp3"
  printf 'mine\n' >"$at/gone.gsm"  # replaced by hand: stays
  rm "$at/gone.mp3"
  run --prune
  for ext in ulaw alaw sln sln16 g722; do
    grep -qxF "Removed $at/gone.$ext -- its source gone.mp3 is gone" /mnt/check/stdout || fail "gone.$ext was not removed"
    [ ! -e "$at/gone.$ext" ] || fail "gone.$ext is still there"
  done
  grep -qxF "Removed 5 outputs whose source is gone" /mnt/check/stdout || fail "no count of removals"
  [ "$(cat "$at/gone.gsm")" = mine ] || fail "an output replaced by hand was removed"
  echo "plays: cd.ulaw $(stat -c %s "$at/cd.ulaw") bytes for 3 s, cd.g722 $g722 bytes against the MP3's $from_mp3"
  ;;
wav-pair)
  # X.wav and X.WAV make the same six outputs: two -u runs in a row must leave the second idle.
  mkdir -p "$lib"
  sox -n -r 44100 -c 2 -b 16 "$lib/X.wav" synth 0.5 sine 440 vol 0.3
  sox -n -r 44100 -c 2 -b 16 "$lib/X.WAV" synth 0.5 sine 660 vol 0.3
  run -u
  run -u
  ! grep -x 'Convert X to ulaw' /mnt/check/stdout || fail "the second -u run converted X again"
  ;;
handmade)
  # The administrator's own conversions of a WAV that Asterisk cannot play are theirs: kept.
  mkdir -p "$lib"
  sox -n -r 44100 -c 2 -b 16 "$lib/greeting.wav" synth 0.5 sine 440 vol 0.3
  sox -n -r 8000 -c 1 -t ul "$lib/greeting.ulaw" synth 0.5 sine 1000 vol 0.3
  sox -n -r 8000 -c 1 -t gsm "$lib/greeting.gsm" synth 0.5 sine 1000 vol 0.3
  sha256sum "$lib"/greeting.* >/mnt/check/before
  run
  sha256sum --quiet -c /mnt/check/before || fail "the administrator's outputs were replaced"
  ;;
shadow)
  # song.mp3 is taken off hold and a playable song.wav of new music takes its place: the old
  # outputs would be played instead of it (Asterisk prefers a .ulaw to a .wav on a mu-law call).
  mkdir -p "$lib"
  sox -n -r 44100 -c 2 "$lib/song.mp3" synth 0.5 sine 440 vol 0.3
  run --prune
  rm "$lib/song.mp3"
  sox -n -r 8000 -c 1 -b 16 -e signed-integer "$lib/song.wav" synth 0.5 sine 880 vol 0.3
  run --prune
  for ext in ulaw alaw gsm sln sln16 g722; do
    [ ! -e "$lib/song.$ext" ] || fail "song.$ext of the deleted MP3 stays beside the new song.wav"
  done
  ;;
left-alone)
  # A trash and a Mac's metadata are no music; an upload still being written is no song yet.
  writable_library
  as_writer mkdir -p "$lib/.Trash-1000/files" "$lib/.AppleDouble"
  as_writer sox -n -r 8000 -c 1 "$lib/.Trash-1000/files/Old Song.mp3" synth 0.2 sine 440
  as_writer cp "$lib/.Trash-1000/files/Old Song.mp3" "$lib/.AppleDouble/Hold Music.mp3"
  as_writer sox -n -r 44100 -c 2 "$lib/Hold Music.mp3" synth 2 sine 440 vol 0.3
  run -u
  expect_status 0
  grep -qxF "Leave the hidden folder $lib/.Trash-1000 alone" /mnt/check/stdout || fail "no line for the trash"
  ! grep -q 'Old Song\|AppleDouble/' /mnt/check/stdout || fail "what a hidden folder holds was walked"
  [ "$(find "$lib/.Trash-1000" "$lib/.AppleDouble" -type f | wc -l)" = 2 ] || fail "a hidden folder changed"
  sha256sum "$lib"/Hold_Music.* >/mnt/check/before
  # The re-upload is 40 KB in and still open when the run comes.
  sox -n -r 44100 -c 2 /mnt/check/new.mp3 synth 3 sine 660 vol 0.3
  "${writer[@]}" sh -c 'exec 3>"$1"; head -c 40000 /mnt/check/new.mp3 >&3; exec sleep 600' - "$lib/Hold Music.mp3" &
  uploader=$!
  eventually 30 test -s "$lib/Hold Music.mp3" || fail "the upload never began"
  run -u
  expect_status 0
  grep -qxF "Leave $lib/Hold Music.mp3 for the next run -- it is still being written" /mnt/check/stdout ||
    fail "no line for the upload in progress"
  sha256sum --quiet -c /mnt/check/before || fail "the earlier upload or its outputs changed"
  # A sandbox without the right to leases cannot tell: the upload waits all the same.
  (cd /mnt/cwd && setpriv --bounding-set -lease /mnt/moh-convert -u -q) >/mnt/check/stdout || true
  grep -qxF "Leave $lib/Hold Music.mp3 for the next run -- whether it is still being written cannot be told: Permission denied" \
    /mnt/check/stdout || fail "without leases: $(cat /mnt/check/stdout)"
  sha256sum --quiet -c /mnt/check/before || fail "the earlier upload changed without leases"
  kill "$uploader" && wait "$uploader" || true
  as_writer cp /mnt/check/new.mp3 "$lib/Hold Music.mp3"
  run -u
  cmp -s /mnt/check/new.mp3 "$lib/Hold_Music.mp3" || fail "the finished upload did not replace the earlier one"
  ;;
check)
  # --check is any account's: as the monitoring user it reads the library and changes nothing.
  mkdir -p "$lib/Sales Queue"
  sox -n -r 44100 -c 2 "$lib/a.mp3" synth 1 sine 440 vol 0.3
  sox -n -r 44100 -c 2 "$lib/Sales Queue/b.mp3" synth 1 sine 440 vol 0.3
  run
  expect_status 0
  printf '[default]\nmode=files\ndirectory=%s\n[sales]\ndirectory=%s\nsort=random\n' \
    "$lib" "$lib/Sales Queue" >/mnt/musiconhold.conf
  look() { find "$lib" /run /tmp /var/lib/moh-convert -printf '%p %s %T@ %C@ %m\n' | sort; }
  look >/mnt/check/before
  while read -r want remove first; do
    [ "$remove" = - ] || rm "$lib/$remove"
    set +e
    (cd /mnt/cwd && as_writer /mnt/moh-convert --check --asterisk-config=/mnt/musiconhold.conf) \
      >/mnt/check/stdout 2>/mnt/check/stderr
    status=$?
    set -e
    expect_status "$want"
    head -1 /mnt/check/stdout | grep -qxF "$first" || fail "status line: $(cat /mnt/check/stdout)"
    [ ! -s /mnt/check/stderr ] || fail "stderr: $(cat /mnt/check/stderr)"
    [ "$remove" != - ] || { look | diff -u /mnt/check/before - || fail "the check changed something"; }
  done <<'ROWS'
0 - MOH OK - 2 classes, 2 tracks, every format current | classes=2 tracks=2 missing=0 stale=0 unplayable=0
1 a.g722 MOH WARNING - 2 classes, 2 tracks, 1 output missing | classes=2 tracks=2 missing=1 stale=0 unplayable=0
ROWS
  grep -qxF "Output missing: $lib/a.g722" /mnt/check/stdout || fail "no line for a.g722: $(cat /mnt/check/stdout)"
  ;;
*) fail "no such case" ;;
esac
