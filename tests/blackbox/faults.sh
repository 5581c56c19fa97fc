#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The built moh-convert when its tools, its disk or its temporary paths fail it: each case gives
# the failure lines of the log, the exit status, and loses no file.
. "$(dirname "$0")/lib.sh"

mkdir -p "$lib"
sox -n -r 44100 -c 2 /mnt/a.mp3 synth 0.5 sine 440 vol 0.3
with_mp3() { cp /mnt/a.mp3 "$lib/a.mp3"; remember_library; }
# The lines of a clean conversion of STEM.mp3 in the library's top directory.
entry_log() { printf 'Leave the name %s alone\n' "$lib/$1.mp3" && converts "$1"; }
# The lines of STEM.mp3, the run's MP3 number N, when its decoding fails with STATUS, sox says
# SAID and the file is WHAT: what fails for one format would fail for all, every time.
decoding_fails() { # STEM N STATUS SAID WHAT
  printf 'Leave the name %s alone\nConvert %s to ulaw\n' "$lib/$1.mp3" "$1"
  printf 'Command failed with exit status %s: %s\n' "$3" "$(decoder_line "$2" "$1.mp3")"
  converting "$1" ulaw
  printf '  sox said: %s\n  the file is %s\n' "$4" "$5"
  printf '  the other formats of %s are not made either\n' "$lib/$1.mp3"
}
# The whole log of a library holding a.mp3 alone.
single_log() { entry_log a; summary 1 0 "${1:-0}"; }

case $case in
no-sox)
  with_mp3
  mkdir /mnt/nosox && ln -s "$(command -v find)" /mnt/nosox/find
  PATH=/mnt/nosox run
  expect_status 1
  { printf 'sox cannot convert MP3 here: it could not be run; no MP3 is converted this run\n'
    printf 'Leave the name %s alone\n' "$lib/a.mp3" && summary 0 0; } >/mnt/check/expected
  same_stdout
  ;;
no-converter)
  with_mp3
  rm "$conv_path"
  run --quiet
  expect_status 1
  printf 'The G.722 converter %s cannot be run: No such file or directory; no .g722 is made this run\n' \
    "$conv_path" >/mnt/check/expected
  same_stdout
  [ -s "$lib/a.sln16" ] || fail "the sox outputs are missing"
  ;;
readonly-library)
  with_mp3
  cp /mnt/a.mp3 "$lib/Hold Music.mp3"
  mount --bind "$lib" "$lib" && mount -o remount,bind,ro "$lib"
  stand_in_sox  # to see whether sox runs at all
  run
  expect_status 1
  while IFS= read -r line; do
    case $line in
    "$lib/Hold Music.mp3")
      printf "Couldn't rename %s => %s: Read-only file system\n" "$line" "$lib/Hold_Music.mp3" ;;
    "$lib/a.mp3")
      printf 'Leave the name %s alone\n' "$line"
      for format in ulaw alaw gsm sln sln16; do
        printf "Convert a to %s\nCouldn't write %s/a.%s: Read-only file system\n" "$format" "$lib" "$format"
      done ;;
    *) fail "unexpected listing line: $line" ;;
    esac
  done </tmp/moh-xx >/mnt/check/expected
  summary 1 0 1 >>/mnt/check/expected
  same_stdout
  [ ! -e /mnt/check/sox-calls ] || fail "sox ran for an output that could not be written"
  ;;
full-disk)
  mount -t tmpfs -o size=512k tmpfs "$lib"
  sox -n -r 44100 -c 2 "$lib/a.mp3" synth 5 sine 440 vol 0.3
  for format in ulaw alaw gsm sln sln16 g722; do printf 'previous %s\n' "$format" >"$lib/a.$format"; done
  # Fill the disk, then free a page: every output fails partway, the smallest (.gsm) included.
  cat /dev/zero >"$lib/.filler" 2>/dev/null || true
  truncate -s -4096 "$lib/.filler"
  remember_library  # the previous outputs among them: a failed conversion must keep them whole
  run
  expect_status 1
  # sox may exit 0 after a failed write; either way it must be reported failed, and the first
  # output that finds no room ends the conversions.
  failures=$(grep -c -E '^Command (failed with exit status [1-9]: sox |reported "sox FAIL )' /mnt/check/stdout || true)
  [ "$failures" = 1 ] || fail "$failures sox failure lines, not 1: $(cat /mnt/check/stdout)"
  grep -qx "$(converting a ulaw)" /mnt/check/stdout || fail "the failure does not name the MP3"
  grep -qx "No space left in the library; conversions stop here" /mnt/check/stdout ||
    fail "the run did not say why conversions stopped"
  [ "$(grep -c '^Convert a to ' /mnt/check/stdout)" = 1 ] || fail "conversions went on on a full disk"
  no_leftovers
  ;;
planted-links | planted-files)
  with_mp3
  # Planted by root: the kernel would refuse root some links another user plants in /tmp, and
  # the point is that we never rely on it.
  printf 'victim of the listing\n' >/mnt/victim-listing
  printf 'sox WARN rate: rate clipped 5 samples; decrease volume?\n' >/mnt/capture
  cp /mnt/capture /mnt/capture-before
  if [ "$case" = planted-links ]; then
    ln -s /mnt/victim-listing /tmp/moh-xx
    ln -s /mnt/capture /tmp/xxx
  else
    # A sparse 2 GiB file, known also as the listing, that no run may read or cut.
    truncate -s 2G /tmp/sparse
    touch -a -d @0 /tmp/sparse
    ln /tmp/sparse /tmp/moh-xx
    cp /mnt/capture /tmp/xxx
  fi
  run
  expect_status 0
  single_log >/mnt/check/expected
  same_stdout
  [ "$(cat /mnt/victim-listing)" = "victim of the listing" ] || fail "the listing was written through"
  cmp -s /tmp/xxx /mnt/capture-before || fail "the old capture path was written"
  [ -f /tmp/moh-xx ] && [ ! -L /tmp/moh-xx ] && [ "$(stat -c %h /tmp/moh-xx)" = 1 ] ||
    fail "the listing is not a file of its own"
  if [ "$case" = planted-files ]; then
    [ "$(stat -c %s:%X /tmp/sparse)" = 2147483648:0 ] || fail "the sparse file was read or cut"
  fi
  ;;
planted-directory)
  with_mp3
  mkdir -p /tmp/moh-xx/inside
  run
  expect_status 0
  single_log >/mnt/check/expected
  same_stdout
  [ -d /tmp/moh-xx/inside ] || fail "someone's directory was removed"
  ;;
broken-mp3s)
  : >"$lib/empty.mp3"
  # sox warns first, then fails quoting the name, which says nothing of clipping.
  printf 'not audio at all\n' >"$lib/decrease.mp3"
  head -c 300 /mnt/a.mp3 >"$lib/cut.mp3"
  # Beside them a hidden file, never converted, and a WAV converted well: each count of failures
  # belongs to its own kind.
  cp /mnt/a.mp3 "$lib/._a.mp3"
  sox -n -r 44100 -c 2 -b 16 "$lib/cd.wav" synth 0.5 sine 440 vol 0.3
  remember_library
  run
  expect_status 1
  # One failure each: what sox cannot read once it cannot read for any format.
  n=0
  while IFS= read -r line; do
    stem=${line##*/} stem=${stem%.*}
    case $line in
    */._a.mp3) printf 'Leave the hidden file %s alone\n' "$line" && continue ;;
    */cd.wav)
      n=$((n + 1))
      printf 'Leave the name %s alone\nNot playable by Asterisk as it is: %s -- 44100 Hz, 2 channels, 16-bit PCM; converting it\n' "$line" "$line"
      converts cd && continue ;;
    # Small, they reach sox as files: its reason is an errno it was left with, or none.
    */empty.mp3) what=empty why='Invalid argument' ;;
    */decrease.mp3) what='not an MP3: it begins with "not audi"' why='Invalid argument' ;;
    */cut.mp3) what='cut short after 0 s' why= ;;
    esac
    n=$((n + 1))
    decoding_fails "$stem" "$n" 2 "sox FAIL formats: can't open input file \`$line': $why" "$what"
  done </tmp/moh-xx >/mnt/check/expected
  { summary 3 0 3 | head -2
    printf 'Converted 1 files Asterisk could not play\nCHanged name of 0 files\nNow, to the db....\n'; } >>/mnt/check/expected
  same_stdout
  # Unchanged, they fail the same way every night: a line each, and no sox for them.
  run -u
  run -u -q
  expect_status 1
  for stem in empty decrease cut; do
    printf 'Still cannot convert %s/%s.mp3 -- unchanged since it failed on %s\n' "$lib" "$stem" "$(date +%F)"
  done | sort >/mnt/check/expected
  sort -o /mnt/check/stdout /mnt/check/stdout
  same_stdout
  ;;
vanished)
  # The first sox run renames the other MP3 away, as a writer might: its line then names nothing.
  printf 'b\n' >"$lib/b.mp3"
  with_mp3
  stand_in_sox
  printf 'stem=${in##*/}; for f in %s/?.mp3; do [ "${f##*/}" = "${stem%%.*}.mp3" ] || mv "$f" "$f.gone"; done\n' "$lib" >/mnt/bin/sox-also
  run
  expect_status 1
  { IFS= read -r first && IFS= read -r second; } </tmp/moh-xx
  { first=${first##*/} && entry_log "${first%.mp3}"
    printf 'Ignoring listing line %s -- no such file or directory\n' "$second" && summary 1 0; } >/mnt/check/expected
  same_stdout
  ;;
always-clipping)
  with_mp3
  stand_in_sox
  # Like sox, the stand-in keeps its warnings to itself when SOX_OPTS asks for -V1.
  printf '%s\n' 'case ${SOX_OPTS-} in *-V1*) ;; *) echo "sox WARN rate: rate clipped 5 samples; decrease volume?" >&2 ;; esac' >/mnt/bin/sox-also
  SOX_OPTS=-V1 run
  expect_status 1
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
  # What clipped when it was decoded is decoded again at each lower factor.
  [ "$(grep -c '/a\.mp3$' /mnt/check/sox-calls)" = 10 ] || fail "not 10 decodings"
  ;;
untrusted-path)
  # Root runs programs only from directories that no one else can change: not the working
  # directory that an empty element or "." means, nor one that others own or may write.
  with_mp3
  stand_in_sox
  mkdir -m 777 /mnt/open && mkdir /mnt/theirs && chown nobody /mnt/theirs
  for dir in /mnt/cwd /mnt/open /mnt/theirs; do
    printf '#!/bin/sh\ntouch /mnt/check/planted-ran\n' >"$dir/sox" && chmod 755 "$dir/sox"
  done
  PATH=":.:/mnt/open:/mnt/theirs:$PATH" run
  expect_status 0
  [ -s /mnt/check/sox-calls ] || fail "the stand-in sox on a trusted directory did not run"
  rm "$lib"/a.[!m]*
  # With no element left, the system's directories serve: the real find and sox.
  PATH=":.:/mnt/open" run
  expect_status 0
  single_log >/mnt/check/expected
  same_stdout
  [ ! -e /mnt/check/planted-ran ] || fail "a sox that others could plant was run"
  ;;
changeable-programs)
  # Root runs no program that another account could change, by its mode, its owner or a
  # directory on its way (a link's, and where the link leads): one line names it and why, and
  # what needs it is skipped as when it is missing. systemd's PATH begins /usr/local/sbin.
  with_mp3
  mount -t tmpfs -o mode=755 tmpfs /usr/local/sbin
  mkdir -m 755 /mnt/mine /mnt/theirs && chown nobody /mnt/theirs
  cp "$conv_path" /mnt/converter
  plant() { printf '#!/bin/sh\ntouch /mnt/check/planted-ran\n' >"$1" && chmod "$2" "$1"; }
  at=${conv_path%/*}
  while IFS='|' read -r setup options want line; do
    eval "$setup"
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin run $options
    expect_status "$want"
    grep -qxF "$line" /mnt/check/stdout || fail "no line: $line; stdout: $(cat /mnt/check/stdout)"
    [ ! -e /mnt/check/planted-ran ] || fail "root ran what others could change: $setup"
    rm -f /usr/local/sbin/* /mnt/mine/* /mnt/theirs/* "$conv_path" && chmod 755 "$at"
    cp /mnt/converter "$conv_path"
  done <<ROWS
plant /usr/local/sbin/sox 777||1|sox cannot convert MP3 here: an account other than root can change /usr/local/sbin/sox (it has mode 0777); no MP3 is converted this run
plant /usr/local/sbin/find 755 && chown nobody /usr/local/sbin/find||20|Couldn't write the listing /tmp/moh-xx: an account other than root can change /usr/local/sbin/find (it belongs to uid 65534)
plant $conv_path 777||1|The G.722 converter $conv_path cannot be run: an account other than root can change it (it has mode 0777); no .g722 is made this run
plant $conv_path 755 && chmod 777 $at||1|The G.722 converter $conv_path cannot be run: an account other than root can change it ($at has mode 0777); no .g722 is made this run
plant /mnt/mine/conv 777 && ln -sf /mnt/mine/conv $conv_path||1|The G.722 converter $conv_path cannot be run: an account other than root can change it (it leads to /mnt/mine/conv, which has mode 0777); no .g722 is made this run
plant /mnt/mine/interp 777 && printf '#!/mnt/mine/interp\\0/../../bin/sh\\n' >/usr/local/sbin/sox && chmod 755 /usr/local/sbin/sox||1|sox cannot convert MP3 here: an account other than root can change /usr/local/sbin/sox (its interpreter is /mnt/mine/interp, where it has mode 0777); no MP3 is converted this run
plant /mnt/theirs/asterisk 755 && ln -s /mnt/theirs/asterisk /usr/local/sbin|--reload|1|Not running asterisk -rx 'moh reload' -- an account other than root can change /usr/local/sbin/asterisk (/mnt/theirs belongs to uid 65534)
ROWS
  ;;
nohup)
  # A hangup ignored at the start, as under nohup, stays ignored in the run and its children;
  # the children still get SIGPIPE at its default.
  with_mp3
  stand_in_sox
  printf '%s\n' 'grep SigIgn /proc/$$/status >>/mnt/check/ignored; kill -HUP $PPID' >/mnt/bin/sox-also
  set +e
  (cd /mnt/cwd && "$timeout" -k 5 "$limit" sh -c 'trap "" HUP && exec /mnt/moh-convert') \
    >/mnt/check/stdout 2>/mnt/check/stderr
  status=$?
  set -e
  expect_status 0
  single_log >/mnt/check/expected
  same_stdout
  [ -s /mnt/check/ignored ] || fail "no sox ran"
  # Signal N is bit N-1 of the mask; above 31 are the C library's own.
  while read -r _ mask; do
    [ $((0x$mask & 0x7fffffff)) = 1 ] || fail "signals ignored by sox: $mask"
  done </mnt/check/ignored
  ;;
lost-log)
  # A log that cannot be written, to a full disk or to a reader that went away (SIGPIPE), does
  # not stop the run; at its end the run says so on stderr and exits 74.
  with_mp3
  stand_in_sox
  for reason in "No space left on device" "Broken pipe"; do
    set +e
    if [ "$reason" = "Broken pipe" ]; then
      (cd /mnt/cwd && perl -e 'pipe(R, W) or die; close R; open(STDOUT, ">&W") or die; exec @ARGV' \
        "$timeout" -k 5 "$limit" /mnt/moh-convert) 2>/mnt/check/stderr
    else
      (cd /mnt/cwd && "$timeout" -k 5 "$limit" /mnt/moh-convert) >/dev/full 2>/mnt/check/stderr
    fi
    status=$?
    set -e
    expect_status 74
    printf "moh-convert: couldn't write the log: %s\n" "$reason" | diff - /mnt/check/stderr ||
      fail "stderr differs"
  done
  # Those runs went through to their end, the update record included.
  rm /mnt/check/sox-calls
  run -u
  expect_status 0
  [ ! -e /mnt/check/sox-calls ] || fail "a run whose log was lost did not save its record"
  ;;
closed-descriptors)
  # Started with standard descriptors closed, the run logs into /dev/null: the lock file, which
  # would take the lowest free number, keeps only the holder's pid.
  with_mp3
  stand_in_sox
  for closed in '>&-' '<&- >&- 2>&-'; do
    set +e
    eval "(cd /mnt/cwd && \"\$timeout\" -k 5 \"\$limit\" /mnt/moh-convert $closed)"
    status=$?
    set -e
    expect_status 0
    grep -qx '[0-9][0-9]*' /run/moh-convert.lock && [ "$(wc -l </run/moh-convert.lock)" = 1 ] ||
      fail "with $closed the lock file holds: $(head -c 300 /run/moh-convert.lock)"
  done
  ;;
interrupted)
  # SIGTERM while sox runs: the run says on stderr how far it got, then dies by the signal.
  # N counts what the run would convert: the WAV too, but not a hidden file.
  with_mp3
  cp /mnt/a.mp3 "$lib/._a.mp3"
  sox -n -r 44100 -c 2 -b 16 "$lib/cd.wav" synth 0.5 sine 440 vol 0.3
  stand_in_sox
  printf '%s\n' 'kill -TERM $PPID; sleep 10' >/mnt/bin/sox-also
  run
  expect_status 143
  grep -qx 'moh-convert: interrupted by SIGTERM after converting 0 of 2 sources; run it again to finish' \
    /mnt/check/stderr || fail "stderr: $(cat /mnt/check/stderr)"
  ;;
tiny-wav)
  # A writer's WAV of 4 KB that claims one sample a second is 4000 s of audio: what it may cost
  # the disk that holds /var/lib (here /mnt's) must stay in proportion to what it holds.
  writable_library
  { printf 'RIFF\304\017\0\0WAVEfmt \020\0\0\0\001\0\001\0\001\0\0\0\001\0\0\0\001\0\010\0'
    printf 'data\240\017\0\0' && printf '\000\100\200\300%.0s' $(seq 1000); } >/mnt/tiny.wav
  as_writer cp /mnt/tiny.wav "$lib/tiny.wav"
  used() { df -k --output=used /mnt | tail -1; }
  before=$(used)
  (peak=0; while :; do u=$(used); [ "$u" -le "$peak" ] || { peak=$u; echo "$u" >/mnt/check/peak; }; sleep 0.02; done) &
  sampler=$!
  run
  kill "$sampler"
  grown=$(($(cat /mnt/check/peak) - before))
  [ "$grown" -le 10240 ] || fail "a 4 KB WAV took $grown KiB of the disk that holds /var/lib"
  ;;
work-space)
  # The work directory's disk keeps a reserve, 256 MiB of these 262: a source whose length needs
  # more than the rest is not decoded, one whose length was told wrong stops at the reserve, and
  # nothing of either is published.
  mkdir -p /var/lib/moh-convert && mount -t tmpfs -o size=262m,mode=0700 tmpfs /var/lib/moh-convert
  with_mp3
  sox -n -r 8000 -c 1 -C 8 "$lib/long.mp3" synth 120 sine 440 vol 0.3  # 120 KB, 10 MiB decoded
  # Ten minutes of silence, as FLAC under an MP3's name, whose header holds no count of samples,
  # as a stream's may not: its 15 KB tell nothing of its length.
  sox -n -r 8000 -c 1 -t flac "$lib/silent.mp3" synth 600 sine 440 vol 0
  printf '\0\0\0\0' | dd of="$lib/silent.mp3" bs=1 seek=22 conv=notrunc status=none
  available() { df -k --output=avail /var/lib/moh-convert | tail -1; }
  (low=$(available); while :; do a=$(available); [ "$a" -ge "$low" ] || { low=$a; echo "$a" >/mnt/check/low; }; sleep 0.02; done) &
  sampler=$!
  run
  kill "$sampler"
  expect_status 1
  for stem in long silent; do
    grep -qxE "Not converting $lib/$stem\.mp3 -- its conversion needs [0-9]+ MiB of work space and only [0-6] MiB can be spared" \
      /mnt/check/stdout || fail "$stem.mp3 is not refused: $(cat /mnt/check/stdout)"
    [ -z "$(find "$lib" -name "$stem.*" ! -name '*.mp3')" ] || fail "outputs of $stem.mp3 were published"
  done
  [ -s "$lib/a.g722" ] || fail "a.mp3 was not converted"
  # Checked every 256 KiB of decoded audio, which the resamplers keep at most 2.5 times over.
  [ ! -f /mnt/check/low ] || [ "$(cat /mnt/check/low)" -ge $(((256 - 2) * 1024)) ] ||
    fail "the reserve was cut into: $(cat /mnt/check/low) KiB left"
  ;;
*) fail "no such case" ;;
esac
nothing_lost
