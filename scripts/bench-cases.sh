# SPDX-License-Identifier: GPL-2.0-or-later
# The cases of scripts/bench, run inside its private mount namespace.
set -euo pipefail
. scripts/private-paths.sh
private_paths "$1" "$2"
cp scripts/reference-walk.bash /mnt/reference-walk.bash
cp "$3" /mnt/own-peak.so
cp "$4" /mnt/g729_convert
g729_converter=$5
lib=/home/services/asterisk/var/lib/asterisk/mohmp3
converter=/usr/lib/nagios/plugins/asterisk_convert
cp "$converter" /mnt/asterisk_convert
mkdir -p "$lib" /mnt/bench
# The update record is named by the library folder's device and inode.
record=/var/lib/moh-convert/record-$(stat -c %d-%i "$lib")
cd /mnt/bench

# One run of a command: wall seconds, the peak resident KiB of the whole process tree (as wait4
# reports it: find's, mostly), and the process's own peak (moh-convert's, or the bash loop's).
one_run() {
  : >/mnt/bench/own
  local start=$EPOCHREALTIME
  OWN_PEAK_FILE=/mnt/bench/own LD_PRELOAD=/mnt/own-peak.so /usr/bin/time -f %M -o /mnt/bench/rss "$@" >/dev/null 2>&1 || true  # a problem line is status 1: timed all the same
  local end=$EPOCHREALTIME
  local own
  own=$(awk '$1 == "moh-convert" || $1 == "bash" { if ($2 > max) max = $2 } END { print max + 0 }' /mnt/bench/own)
  awk -v s="$start" -v e="$end" -v r="$(cat /mnt/bench/rss)" -v o="$own" 'BEGIN { printf "%.4f %d %d\n", e - s, r, o }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The state each run starts from, set untimed before it: no record, so nothing is known current.
forget() { rm -f /var/lib/moh-convert/record*; }
# The library as a first run finds it: the MP3s alone.
only_mp3s() { find "$lib" -type f ! -name '*.mp3' -delete; forget; }
# Runs A and B alternately, RUNS times after one warm-up each, each run after its SETUP (a
# command; forget by default, B's the same as A's). Sets a_time a_rss a_own b_time b_rss b_own.
side_by_side() { # A-COMMAND B-COMMAND [A-SETUP [B-SETUP]] (each command one word: a path)
  local setup_a=${3:-forget}
  local setup_b=${4:-$setup_a}
  : >/mnt/bench/a; : >/mnt/bench/b
  $setup_a; one_run "$1" >/dev/null; $setup_b; one_run "$2" >/dev/null
  for _ in $(seq "$RUNS"); do
    $setup_a; one_run "$1" >>/mnt/bench/a
    $setup_b; one_run "$2" >>/mnt/bench/b
  done
  a_time=$(cut -d' ' -f1 /mnt/bench/a | median) a_rss=$(cut -d' ' -f2 /mnt/bench/a | median)
  b_time=$(cut -d' ' -f1 /mnt/bench/b | median) b_rss=$(cut -d' ' -f2 /mnt/bench/b | median)
  a_own=$(cut -d' ' -f3 /mnt/bench/a | median) b_own=$(cut -d' ' -f3 /mnt/bench/b | median)
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf (a / b < 0.1) ? "%.4f" : "%.2f", a / b }'; }
meets() { awk -v v="$1" -v m="$2" 'BEGIN { print (v <= m) ? "met" : "NOT MET" }'; }  # at most
below() { awk -v v="$1" -v m="$2" 'BEGIN { print (v < m) ? "met" : "NOT MET" }'; }
report() { # LABEL A-LABEL B-LABEL [GOAL]: GOAL is the time ratio to stay at or under
  local r
  r=$(ratio "$a_time" "$b_time")
  printf '%-20s %s %7.3f s, peak %6d KiB | %s %7.3f s, peak %6d KiB | time ratio %s%s\n' "$1" \
    "$2" "$a_time" "$a_rss" "$3" "$b_time" "$b_rss" "$r" "${4:+ | goal at most $4: $(meets "$r" "$4")}"
}
# The peak of the walking process itself, leaving out find.
report_own() {
  printf '%-20s own peak: moh-convert %d KiB, bash %d KiB | goal under 8192 KiB: %s\n' "" \
    "$a_own" "$b_own" "$(below "$a_own" 8192)"
}
command_file() { # NAME LINE: /mnt/NAME, a one-word command for side_by_side that runs LINE
  printf '#!/bin/sh\n%s\n' "$2" >"/mnt/$1" && chmod +x "/mnt/$1"
}
command_file ours 'exec /mnt/moh-convert'
# Music-like: noise and a sweep, in stereo.
music() { sox -n -r 44100 -c 2 "$2" synth "$1" pinknoise synth "$1" sine mix 300-3000 vol 0.5; }
command_file bash-loop 'exec bash /mnt/reference-walk.bash'
# SECTIONS, when set, names the sections to run (walk dry-run per-mp3 conversion jobs update
# converter level renames); all of them by default.
section() { # NAME TITLE
  [ -z "${SECTIONS-}" ] || [[ " $SECTIONS " == *" $1 "* ]] || return 1
  echo "== $2"
}
# Runs a command and samples, every 50 ms, the resident memory of its whole process tree: the
# sum over every process in it, which wait4's figure (the largest one's) is not. Prints the
# seconds and the peak KiB.
tree_peak() { # COMMAND...
  local start=$EPOCHREALTIME peak=0 rss
  "$@" >/dev/null 2>&1 &
  local pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    rss=$(ps -e -o pid=,ppid=,rss= | awk -v root="$pid" '{ up[$1] = $2; rss[$1] = $3 }
      END { for (p in up) { q = p; while (q in up && q != root) q = up[q]; if (q == root) sum += rss[p] }; print sum + 0 }')
    [ "$rss" -le "$peak" ] || peak=$rss
    sleep 0.05
  done
  wait "$pid" || true
  awk -v s="$start" -v e="$EPOCHREALTIME" -v p="$peak" 'BEGIN { printf "%.3f %d\n", e - s, p }'
}

if section walk "the walk over non-MP3 entries (moh-convert vs the same walk in bash)"; then
made=0
for count in 10000 100000; do
  # Headerless files that play: each costs its line and a look at its first bytes.
  (cd "$lib" && seq -f 'track-%06g.ulaw' "$made" $((count - 1)) | xargs touch)
  made=$count
  side_by_side /mnt/ours /mnt/bash-loop
  report "$count entries" moh-convert bash 0.50
  report_own
  eval "walk_$count=$a_time"
done
per_entry=$(ratio "$(awk -v t="$walk_100000" 'BEGIN { print t / 100000 }')" "$(awk -v t="$walk_10000" 'BEGIN { print t / 10000 }')")
echo "time per entry at 100,000 over 10,000: $per_entry | goal at most 1.00 (linear): $(meets "$per_entry" 1.00)"
fi

if section dry-run "-n over 100,000 entries, against a real run"; then
(cd "$lib" && seq -f 'track-%06g.ulaw' 0 99999 | xargs touch)
command_file dry-run 'exec /mnt/moh-convert -n'
side_by_side /mnt/dry-run /mnt/ours
report "100000 entries" "-n" "real run" 1.00
fi
find "$lib" -mindepth 1 -delete

# No-op stand-ins: sox leaves its output (/dev/fd/4) empty, and the converter writes nothing, so
# moh-convert says "Couldn't write ...g722" for each MP3, as the bash loop says nothing.
# A sox that does nothing, but says it reads MP3 when asked, as the command asks once a run.
mkdir -p /mnt/bin
printf '#!/bin/sh\n[ "$1" != -h ] || echo "AUDIO FILE FORMATS: mp3"\n' >/mnt/bin/sox
chmod +x /mnt/bin/sox
if section per-mp3 "cost per MP3: 300 entries, sox and the converter replaced by programs that do nothing"; then
cp /bin/true "$converter"
(cd "$lib" && seq -f 'track-%03g.mp3' 1 300 | xargs touch)
PATH=/mnt/bin:$PATH side_by_side /mnt/ours /mnt/bash-loop only_mp3s
report "300 MP3s" moh-convert bash 0.60
echo "per MP3: moh-convert $(awk -v t="$a_time" 'BEGIN { printf "%.2f", t / 300 * 1000 }') ms, bash $(awk -v t="$b_time" 'BEGIN { printf "%.2f", t / 300 * 1000 }') ms"
find "$lib" -mindepth 1 -delete
cp /mnt/asterisk_convert "$converter"
fi

for n in 1 2 3 4 5 6 7 8; do
  sox -n -r 44100 -c 2 "/mnt/bench/song-$n.mp3" synth 20 sine $((200 * n)) sine $((300 * n)) vol 0.3
done
if section conversion "real sox and the real converter, per MP3: the command against the five-sox loop"; then
cp /mnt/bench/song-[1-5].mp3 "$lib"
side_by_side /mnt/ours /mnt/bash-loop only_mp3s
report "5 MP3s of 20 s" moh-convert bash 0.40
find "$lib" -mindepth 1 -delete
music 180 /mnt/bench/three.mp3
cp /mnt/bench/three.mp3 "$lib"
side_by_side /mnt/ours /mnt/bash-loop only_mp3s
report "1 MP3 of 3 minutes" moh-convert bash 0.40
command_time=$a_time

echo "where the time of the 3-minute MP3 goes: each stage alone, wall and CPU seconds (median)"
timed() { # LABEL COMMAND...
  local label=$1 runs=() cpu=()
  shift
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -f '%e %U %S' -o /mnt/bench/stage "$@" >/dev/null 2>&1
    runs+=("$(cut -d' ' -f1 /mnt/bench/stage)")
    cpu+=("$(awk '{ print $2 + $3 }' /mnt/bench/stage)")
  done
  local wall cpus
  wall=$(printf '%s\n' "${runs[@]}" | median) cpus=$(printf '%s\n' "${cpu[@]}" | median)
  printf '  %-48s %6.3f s wall, %6.3f s CPU\n' "$label" "$wall" "$cpus"
  stage_cpu=$(awk -v a="${stage_cpu:-0}" -v b="$cpus" 'BEGIN { print a + b }')
}
stage_cpu=0
sox -R /mnt/bench/three.mp3 -c 1 -t sox /mnt/bench/decoded.sox
sox -R -t sox /mnt/bench/decoded.sox -t raw -e signed-integer -b 32 -r 8000 /mnt/bench/at8k
sox -R -t sox /mnt/bench/decoded.sox -t raw -e signed-integer -b 24 -r 16000 /mnt/bench/at16k
timed "decoding and mixing to one channel" sox -R /mnt/bench/three.mp3 -c 1 -t sox /dev/null
timed "resampling to 8 kHz" sox -R -t sox /mnt/bench/decoded.sox -t raw -e signed-integer -b 32 -r 8000 /dev/null
timed "resampling to 16 kHz" sox -R -t sox /mnt/bench/decoded.sox -t raw -e signed-integer -b 24 -r 16000 /dev/null
for format in "-t ul" "-t al" "-t gsm" "-t raw -e signed-integer -b 16"; do
  # shellcheck disable=SC2086 # the format's words
  timed "encoding 8 kHz as $format" sox -R -t raw -e signed-integer -b 32 -r 8000 -c 1 /mnt/bench/at8k $format /mnt/bench/out
done
timed "encoding 16 kHz as -t raw -e signed-integer -b 16" sox -R -t raw -e signed-integer -b 24 -r 16000 -c 1 /mnt/bench/at16k -t raw -e signed-integer -b 16 /mnt/bench/out16
timed "the G.722 converter" /mnt/asterisk_convert /mnt/bench/out16 /mnt/bench/out.g722
/usr/bin/time -f '%e %U %S' -o /mnt/bench/stage /mnt/moh-convert >/dev/null 2>&1
echo "  the stages' CPU in all: $(printf '%.3f' "$stage_cpu") s; the whole command: $(awk '{ printf "%.3f", $2 + $3 }' /mnt/bench/stage) s CPU, $(printf '%.3f' "$command_time") s wall (the decoding's three children run at once)"
rm -f /mnt/bench/decoded.sox /mnt/bench/at8k /mnt/bench/at16k /mnt/bench/out /mnt/bench/out16 /mnt/bench/out.g722
find "$lib" -mindepth 1 -delete

echo "a 30-minute MP3: time and the peak memory of the whole process tree (median of $RUNS runs)"
music 1800 /mnt/bench/thirty.mp3
: >/mnt/bench/thirty
for _ in $(seq "$RUNS"); do
  find "$lib" -mindepth 1 -delete && cp /mnt/bench/thirty.mp3 "$lib"
  tree_peak /mnt/moh-convert >>/mnt/bench/thirty
done
printf '%-20s moh-convert %7.3f s, tree peak %6d KiB | goal under 65536 KiB: %s\n' "1 MP3 of 30 minutes" \
  "$(cut -d' ' -f1 /mnt/bench/thirty | median)" "$(cut -d' ' -f2 /mnt/bench/thirty | median)" \
  "$(below "$(cut -d' ' -f2 /mnt/bench/thirty | sort -n | tail -1)" 65536)"
find "$lib" -mindepth 1 -delete
rm /mnt/bench/thirty.mp3 /mnt/bench/three.mp3
fi

if section jobs "8 MP3s of 20 s, several at once against -j 1"; then
cp /mnt/bench/song-[1-8].mp3 "$lib"
# What the CPUs give right now, on a shared machine: the same sox work in two halves at once
# against one after the other. 0.50 when two CPUs are free, 1.00 when one is: -j 2 can do no better.
one_sox='for t in ul al gsm; do sox /mnt/bench/song-$n.mp3 -c 1 -r 8000 -t $t /dev/null; done'
command_file sox-halves "(for n in 1 2 3 4; do $one_sox; done) & for n in 5 6 7 8; do $one_sox; done; wait"
command_file sox-serial "for n in 1 2 3 4 5 6 7 8; do $one_sox; done"
side_by_side /mnt/sox-halves /mnt/sox-serial
report "24 sox runs" "2 at once" "1 at once"
command_file jobs-1 'exec /mnt/moh-convert -j 1'
command_file jobs-2 'exec /mnt/moh-convert -j 2'
side_by_side /mnt/jobs-2 /mnt/jobs-1 only_mp3s
report "8 MP3s, $(nproc) CPUs" "-j 2" "-j 1" 0.60
# -j 0 takes one job per CPU it may run on, so each CPU count is set with taskset; "near 1/N"
# is taken as at most 15 % above it.
cpus=
for n in $(seq "$(nproc)"); do
  cpus=${cpus:+$cpus,}$((n - 1))
  command_file jobs-0-on "exec taskset -c $cpus /mnt/moh-convert -j 0"
  command_file jobs-1-on "exec taskset -c $cpus /mnt/moh-convert -j 1"
  side_by_side /mnt/jobs-0-on /mnt/jobs-1-on only_mp3s
  report "8 MP3s on $n CPUs" "-j 0" "-j 1" "$(awk -v n="$n" 'BEGIN { printf "%.2f", 1.15 / n }')"
done
find "$lib" -mindepth 1 -delete
fi

if section update "-u over an unchanged library of 100 MP3s of 2 s, against a full run of it"; then
sox -n -r 44100 -c 2 /mnt/bench/short.mp3 synth 2 sine 300 sine 500 vol 0.3
for n in $(seq -w 1 100); do cp /mnt/bench/short.mp3 "$lib/short-$n.mp3"; done
# The -u runs find sox through a stand-in that logs each run and hands over to the real one.
mkdir -p /mnt/sox-log && : >/mnt/bench/sox-runs
printf '#!/bin/sh\necho "$*" >>/mnt/bench/sox-runs\nexec /usr/bin/sox "$@"\n' >/mnt/sox-log/sox
chmod +x /mnt/sox-log/sox
command_file update 'PATH=/mnt/sox-log:$PATH exec /mnt/moh-convert -u'
/mnt/moh-convert >/dev/null || true  # writes the record that the first -u run finds
# Each full run starts without a record and leaves one that the next -u run finds current.
side_by_side /mnt/update /mnt/ours : forget
report "100 MP3s" "-u" "full run" 0.02
current=$(/mnt/update | sed -n 's/^\([0-9]*\) sources up to date$/\1/p')
echo "MP3s found up to date by -u: $current of 100"

echo "-u check per MP3: 1,100 up-to-date MP3s against 100"
# The slope between two library sizes, (time at 1,100 - time at 100) / 1,000, paired run by
# run: what every run pays whatever its size (start-up, the lock, find's start, the work dir)
# cancels out, which dividing one run by its count would not, and 1,000 MP3s lift the
# difference well above the noise of a run. An MP3 costs its line and the lines of its .ulaw,
# .alaw and .gsm in the listing, its record entry, and the stats of the check itself, which
# reads no audio: so the extra MP3s are tiny, converted once by the no-op sox stand-in.
sox -n -r 44100 -c 2 /mnt/bench/tiny.mp3 synth 0.1 sine 300 vol 0.3
mkdir -p "$lib/extra"
for n in $(seq -w 1 1000); do cp /mnt/bench/tiny.mp3 "$lib/extra/tiny-$n.mp3"; done
PATH=/mnt/bin:$PATH /mnt/moh-convert -u -j 0 >/dev/null || true
cp "$record" /mnt/bench/record-1100
mv "$lib/extra" /home/extra
/mnt/moh-convert -u >/dev/null || true  # the record of the 100 alone
cp "$record" /mnt/bench/record-100
with_extra() { [ ! -d /home/extra ] || mv /home/extra "$lib/extra"; cp /mnt/bench/record-1100 "$record"; }
without_extra() { [ ! -d "$lib/extra" ] || mv "$lib/extra" /home/extra; cp /mnt/bench/record-100 "$record"; }
side_by_side /mnt/update /mnt/update with_extra without_extra
report "-u, 1100 vs 100" "1100 MP3s" "100 MP3s"
# Seconds for 1,000 MP3s are milliseconds for one.
per_mp3=$(paste -d' ' /mnt/bench/a /mnt/bench/b | awk '{ printf "%.4f\n", $1 - $4 }' | median)
echo "-u check per MP3: $per_mp3 ms | goal under 0.2 ms: $(below "$per_mp3" 0.2)"
# Every run asks "sox -h" once whether sox reads MP3; a conversion is any other sox run.
conversions=$(grep -cvx -- -h /mnt/bench/sox-runs || true)
echo "sox conversions in all the -u runs: $conversions | goal none: $(meets "$conversions" 0)"
find "$lib" -mindepth 1 -delete
rm -rf /home/extra
fi

if section converter "the G.722 converter vs ffmpeg's encoder, whole process"; then
for minutes in 3 30; do
  sox -n -r 16000 -c 1 -b 16 -e signed -t raw "/mnt/bench/in-$minutes.sln16" \
    synth $((minutes * 60)) sine 100:7000 sine 440 vol 0.4
  command_file conv-ours "exec /mnt/asterisk_convert /mnt/bench/in-$minutes.sln16 /mnt/bench/ours-$minutes.g722"
  command_file conv-ffmpeg "exec ffmpeg -v error -y -f s16le -ar 16000 -ac 1 -i /mnt/bench/in-$minutes.sln16 -c:a g722 -f g722 /mnt/bench/ffmpeg-$minutes.g722"
  side_by_side /mnt/conv-ours /mnt/conv-ffmpeg
  report "$minutes-minute track" asterisk_convert ffmpeg "$([ "$minutes" = 3 ] && echo 1.00)"
  if cmp -s "/mnt/bench/ours-$minutes.g722" "/mnt/bench/ffmpeg-$minutes.g722"; then
    echo "outputs identical ($(stat -c %s "/mnt/bench/ours-$minutes.g722") bytes)"
  else
    echo "outputs DIFFER: $(cmp "/mnt/bench/ours-$minutes.g722" "/mnt/bench/ffmpeg-$minutes.g722" 2>&1 | head -1)"
  fi
  rm -f /mnt/bench/*.g722 "/mnt/bench/in-$minutes.sln16"
done
fi

if section level "a 3-minute MP3 levelled, and made into the 8 formats, against the plain run"; then
music 180 "$lib/three.mp3"
command_file level 'exec /mnt/moh-convert --level'
side_by_side /mnt/level /mnt/ours forget
report "--level" "--level" "plain" 1.10
# The G.729 converter where the command looks for it, in this namespace alone.
mkdir -p "${g729_converter%/*}" && cp /mnt/g729_convert "$g729_converter"
command_file formats 'exec /mnt/moh-convert --formats=ulaw,alaw,gsm,sln,sln16,g722,sln48,g729'
side_by_side /mnt/formats /mnt/ours forget
report "8 formats" "8 formats" "the six" 1.50
find "$lib" -mindepth 1 -delete
fi

if section renames "20,000 unsafe 255-byte names, 31 folders down: what the walk holds"; then
# 1,000 WAVs in each of 20 folders at the listing's last level, each name 254 bytes of "x ".
(
  cd "$lib"
  for level in $(seq 30); do mkdir "$(printf 'f%.0s' $(seq 100))$level" && cd "$_"; done
  wav() { printf 'RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0data\0\0\0\0'; }
  unsafe=$(printf 'x %.0s' $(seq 123))
  for folder in $(seq 20); do
    mkdir "s$folder"
    for n in $(seq 1000); do wav >"s$folder/$unsafe$n.wav"; done
  done
)
cp -a "$lib" /home/unsafe-library
fresh_library() { rm -rf "$lib" && cp -a /home/unsafe-library "$lib" && forget; }
: >/mnt/bench/renames
for _ in $(seq "$RUNS"); do
  fresh_library
  one_run /mnt/ours >>/mnt/bench/renames
done
own=$(cut -d' ' -f3 /mnt/bench/renames | median)
printf '%-20s moh-convert %7.3f s, own peak %6d KiB | goal under 32768 KiB: %s\n' "20,000 renames" \
  "$(cut -d' ' -f1 /mnt/bench/renames | median)" "$own" "$(below "$own" 32768)"
# The next run reads the record of those 20,000 renames.
: >/mnt/bench/renames
for _ in $(seq "$RUNS"); do one_run /mnt/ours >>/mnt/bench/renames; done
own=$(cut -d' ' -f3 /mnt/bench/renames | median)
printf '%-20s moh-convert %7.3f s, own peak %6d KiB | goal under 32768 KiB: %s\n' "the run after" \
  "$(cut -d' ' -f1 /mnt/bench/renames | median)" "$own" "$(below "$own" 32768)"
rm -rf "$lib" /home/unsafe-library && mkdir -p "$lib"
fi
