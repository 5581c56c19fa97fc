#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# After each step an administrator may take between two `-u --prune` runs, the second leaves the
# library as a fresh conversion of the same sources into an empty record would: the same names
# and bytes, hand-made files intact, exit status 0, and where no audio changed, no conversion.
. "$(dirname "$0")/lib.sh"

mkdir -p /mnt/proto "${MOH_G729%/*}" /var/lib/asterisk
cp /mnt/g729_convert "$MOH_G729"
ln -s "$lib" /var/lib/asterisk/moh
for n in 1 2 3 4; do sox -n -r 44100 -c 2 "/mnt/proto/$n.mp3" synth 0.3 sine $((n * 200)) vol 0.3; done
sox -n -r 44100 -c 2 -b 16 /mnt/proto/cd.wav synth 0.3 sine 440 vol 0.3
sox -n -r 8000 -c 1 -b 16 -e signed-integer /mnt/proto/plays.wav synth 0.3 sine 880 vol 0.3
stand_in_sox

library() { # the sources, and files of the administrator's own
  mkdir -p "$lib/Sales Queue"
  cp /mnt/proto/1.mp3 "$lib/Hold Music.mp3"
  cp /mnt/proto/2.mp3 "$lib/song.mp3"
  cp /mnt/proto/cd.wav "$lib/cd.wav"
  cp /mnt/proto/3.mp3 "$lib/Sales Queue/Promo.mp3"
  cp /mnt/proto/4.mp3 "$lib/Sales Queue/old.mp3"
  printf 'mine' >"$lib/hand.ulaw"
  printf 'notes' >"$lib/Sales Queue/notes.txt"
}
touch_status() { # changes every change time and nothing else
  local before
  before=$(stat -c %Z.%z "$lib/song.mp3")
  sleep 0.01
  chown -R root:root "$lib" && chmod -R u+w "$lib"
  [ "$(stat -c %Z.%z "$lib/song.mp3")" != "$before" ] || fail "chown left the change time"
}
no_converter() { mv "$conv_path" /mnt/asterisk_convert.away; }
step_chown_delete() { touch_status && rm "$lib/Sales Queue/old.mp3"; }
step_chown_upload() { touch_status && cp /mnt/proto/4.mp3 "$lib/Hold Music.mp3"; }
step_chown() { touch_status; }
step_wav_plays() { cp /mnt/proto/plays.wav "$lib/cd.wav"; }
step_formats() { cp /mnt/proto/3.mp3 "$lib/song.mp3"; }
step_converter() { [ ! -e /mnt/asterisk_convert.away ] || mv /mnt/asterisk_convert.away "$conv_path"; }
step_link() { :; }
step_restore() {
  rm -rf /mnt/backup && cp -a "$lib" /mnt/backup
  find "$lib" -mindepth 1 -delete && cp -a /mnt/backup/. "$lib/"
}
step_class_renamed() { mv "$lib/Sales Queue" "$lib/Sales"; }
tree() { (cd "$lib" && find . -type d | sort && find . -type f -exec sha256sum {} + | sort -k2); }

# ROW: STEP, the first run's options and what it does before it, the second run's options, and
# whether the second run converts nothing.
while IFS='|' read -r step first before second idle; do
  (
    case=$step
    rm -rf "$lib" /mnt/raw /var/lib/moh-convert/record*
    library && cp -a "$lib" /mnt/raw
    $before
    run -u --prune $first
    "step_$step"
    : >/mnt/check/sox-calls
    run -u -q --prune $second
    [ "$status" = 0 ] || fail "exit status $status: $(cat /mnt/check/stdout)"
    calls=$(grep -c '^CALL$' /mnt/check/sox-calls || true) after=$status
    [ "$idle" != idle ] || [ "$calls" = 0 ] || fail "$calls conversions where none was needed"
    tree >/mnt/check/converged
    # The same sources, after the same step, in an empty library with no record.
    rm -rf "$lib" /var/lib/moh-convert/record* && cp -a /mnt/raw "$lib"
    "step_$step"
    run -u --prune $second
    tree >/mnt/check/fresh
    diff -u /mnt/check/fresh /mnt/check/converged || fail "the library differs from a fresh conversion"
    echo "ok: $step, status $after, $calls sox runs"
  ) || failed=1
done <<'ROWS'
chown_delete||||idle
chown_upload|||
chown||||idle
wav_plays|||
formats|--formats=sln48,g729||
converter||no_converter||
link|--library=/var/lib/asterisk/moh|||idle
restore|||
class_renamed||||idle
ROWS
[ -z "${failed-}" ] || fail "some steps did not converge"
