# The cases of scripts/bench, run inside its private mount namespace.
set -euo pipefail
. scripts/private-paths.sh
private_paths "$1" "$2"
cp scripts/reference-walk.bash /mnt/reference-walk.bash
cp "$3" /mnt/own-peak.so
lib=/home/services/asterisk/var/lib/asterisk/mohmp3
converter=/usr/lib/nagios/plugins/asterisk_convert
cp "$converter" /mnt/asterisk_convert
mkdir -p "$lib" /mnt/bench
cd /mnt/bench

# One run of a command: wall seconds, the peak resident KiB of the whole process tree (as wait4
# reports it: find's, mostly), and the process's own peak (moh-convert's, or the bash loop's).
one_run() {
  : >/mnt/bench/own
  local start=$EPOCHREALTIME
  OWN_PEAK_FILE=/mnt/bench/own LD_PRELOAD=/mnt/own-peak.so /usr/bin/time -f %M -o /mnt/bench/rss "$@" >/dev/null 2>&1
  local end=$EPOCHREALTIME
  local own
  own=$(awk '$1 == "moh-convert" || $1 == "bash" { if ($2 > max) max = $2 } END { print max + 0 }' /mnt/bench/own)
  awk -v s="$start" -v e="$end" -v r="$(cat /mnt/bench/rss)" -v o="$own" 'BEGIN { printf "%.4f %d %d\n", e - s, r, o }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Runs A and B alternately, RUNS times after one warm-up each; sets a_time a_rss b_time b_rss.
side_by_side() { # A-COMMAND B-COMMAND (each one word: a path)
  : >/mnt/bench/a; : >/mnt/bench/b
  one_run "$1" >/dev/null; one_run "$2" >/dev/null
  for _ in $(seq "$RUNS"); do
    one_run "$1" >>/mnt/bench/a
    one_run "$2" >>/mnt/bench/b
  done
  a_time=$(cut -d' ' -f1 /mnt/bench/a | median) a_rss=$(cut -d' ' -f2 /mnt/bench/a | median)
  b_time=$(cut -d' ' -f1 /mnt/bench/b | median) b_rss=$(cut -d' ' -f2 /mnt/bench/b | median)
  a_own=$(cut -d' ' -f3 /mnt/bench/a | median) b_own=$(cut -d' ' -f3 /mnt/bench/b | median)
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
report() { # LABEL OURS-LABEL THEIRS-LABEL
  printf '%-20s %s %7.3f s, peak %6d KiB | %s %7.3f s, peak %6d KiB | time ratio %s\n' "$1" \
    "$2" "$a_time" "$a_rss" "$3" "$b_time" "$b_rss" "$(ratio "$a_time" "$b_time")"
}
# The peak of the walking process itself, leaving out find.
report_own() { printf '%-20s own peak: moh-convert %d KiB, bash %d KiB\n' "" "$a_own" "$b_own"; }
printf '#!/bin/sh\nexec /mnt/moh-convert\n' >/mnt/ours && chmod +x /mnt/ours
printf '#!/bin/sh\nexec bash /mnt/reference-walk.bash\n' >/mnt/bash-loop && chmod +x /mnt/bash-loop

echo "== the walk over non-MP3 entries (moh-convert vs the same walk in bash)"
made=0
for count in 10000 100000; do
  (cd "$lib" && seq -f 'track-%06g.wav' "$made" $((count - 1)) | xargs touch)
  made=$count
  side_by_side /mnt/ours /mnt/bash-loop
  report "$count entries" moh-convert bash
  report_own
  eval "walk_$count=$a_time"
done
echo "time per entry at 100,000 over 10,000 (1.00 is linear): $(ratio "$(awk -v t="$walk_100000" 'BEGIN { print t / 100000 }')" "$(awk -v t="$walk_10000" 'BEGIN { print t / 10000 }')")"
find "$lib" -mindepth 1 -delete

echo "== cost per MP3: 300 entries, sox and the converter replaced by programs that do nothing"
mkdir -p /mnt/bin && cp /bin/true /mnt/bin/sox && cp /bin/true "$converter"
(cd "$lib" && seq -f 'track-%03g.mp3' 1 300 | xargs touch)
PATH=/mnt/bin:$PATH side_by_side /mnt/ours /mnt/bash-loop
report "300 MP3s" moh-convert bash
echo "per MP3: moh-convert $(awk -v t="$a_time" 'BEGIN { printf "%.2f", t / 300 * 1000 }') ms, bash $(awk -v t="$b_time" 'BEGIN { printf "%.2f", t / 300 * 1000 }') ms"
find "$lib" -mindepth 1 -delete
cp /mnt/asterisk_convert "$converter"

echo "== real sox and the real converter on 5 MP3s of 20 s"
for n in 1 2 3 4 5; do
  sox -n -r 44100 -c 2 "$lib/song-$n.mp3" synth 20 sine $((200 * n)) sine $((300 * n)) vol 0.3
done
side_by_side /mnt/ours /mnt/bash-loop
report "5 MP3s" moh-convert bash
find "$lib" -mindepth 1 -delete

echo "== the G.722 converter vs ffmpeg's encoder, whole process"
for minutes in 3 30; do
  sox -n -r 16000 -c 1 -b 16 -e signed -t raw "/mnt/bench/in-$minutes.sln16" \
    synth $((minutes * 60)) sine 100:7000 sine 440 vol 0.4
  printf '#!/bin/sh\nexec /mnt/asterisk_convert /mnt/bench/in-%s.sln16 /mnt/bench/ours-%s.g722\n' "$minutes" "$minutes" >/mnt/conv-ours
  printf '#!/bin/sh\nexec ffmpeg -v error -y -f s16le -ar 16000 -ac 1 -i /mnt/bench/in-%s.sln16 -c:a g722 -f g722 /mnt/bench/ffmpeg-%s.g722\n' "$minutes" "$minutes" >/mnt/conv-ffmpeg
  chmod +x /mnt/conv-ours /mnt/conv-ffmpeg
  side_by_side /mnt/conv-ours /mnt/conv-ffmpeg
  report "$minutes-minute track" asterisk_convert ffmpeg
  if cmp -s "/mnt/bench/ours-$minutes.g722" "/mnt/bench/ffmpeg-$minutes.g722"; then
    echo "outputs identical ($(stat -c %s "/mnt/bench/ours-$minutes.g722") bytes)"
  else
    echo "outputs DIFFER: $(cmp "/mnt/bench/ours-$minutes.g722" "/mnt/bench/ffmpeg-$minutes.g722" 2>&1 | head -1)"
  fi
  rm -f /mnt/bench/*.g722 "/mnt/bench/in-$minutes.sln16"
done
