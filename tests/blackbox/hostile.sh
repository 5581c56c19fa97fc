#!/usr/bin/env bash
# A library filled by hostile hands: every byte value in names, shell syntax, collisions, links,
# directories named like audio, paths past every length limit, empty and corrupt MP3s. Stand-ins
# for sox and the converter record their arguments. The log must give each entry the lines the
# rules give it, no unsafe byte may reach a command, nothing outside the library may change, and
# no file's content may be lost.
. "$(dirname "$0")/lib.sh"

stand_in_sox
cp "$conv_path" /mnt/real-convert
cat >"$conv_path" <<'CONV'
#!/bin/sh
for arg in "$@"; do
  case $arg in *[!a-zA-Z0-9@#%=:./_-]*) printf 'converter: %s\n' "$arg" >>/mnt/check/unsafe ;; esac
done
exec /mnt/real-convert "$@"
CONV
chmod +x "$conv_path"

mkdir -p "$lib"
cd "$lib"
n=0
put() { n=$((n + 1)); printf 'content %d\n' "$n" >"$1"; } # every file's content is its own

for byte in $(seq 1 255); do
  [ "$byte" = 47 ] || put "$(printf "byte-%d-\\$(printf %03o "$byte")-.mp3" "$byte")"
done
put $'tab\tname.mp3'
put $'new\nline.mp3'
put $'new\nline.wav'
put $'esc\e[31mred.mp3'
put 'x y.mp3'
put 'x(y.mp3'          # same safe name as the one above
put 'p_q.mp3'
put 'p q.mp3'          # its safe name is taken already
mkdir -p 'My Music' '$(touch /tmp' && put 'My Music/track.mp3'
put '$(touch /tmp/pwned).mp3'
put '`touch pwned`.mp3'
put 'a;touch pwned;.mp3'
put 'a&touch pwned&.mp3'
put 'a|touch pwned|.mp3'
put "it's.mp3"
put 'say "hi".mp3'
put '-rf.mp3'
put '--help.mp3'
put '-v 9.mp3'
put $'Caf\xc3\xa9.mp3'
put $'\xe9\x9f\xb3\xe6\xa5\xbd.mp3'
put $'bad\xff\xfe.mp3'
put $'cut\xc3.mp3'
ln -s byte-65-A-.mp3 link-to-file.mp3
ln -s nowhere.mp3 dangling.mp3
ln -s loop.mp3 loop.mp3
printf 'victim\n' >/mnt/victim
ln -s /mnt/victim escape.ulaw
ln -s /mnt/victim 'escape link.mp3'
put target.mp3
ln -s /mnt/victim target.ulaw
printf 'hard victim\n' >/home/victim
ln /home/victim target.alaw
mkfifo target.gsm
mkdir album.mp3 'Old Stuff.wav' dots.
put album.mp3/inner.mp3
put 'Old Stuff.wav/inner.gsm'
: >empty.mp3
head -c 4000 /dev/urandom >corrupt.mp3
name250=$(printf 'd%.0s' $(seq 250))
(for level in 1 2 3 4 5; do mkdir -p "$name250" && cd "$name250"; done; put long.mp3; put 'long unsafe.mp3')
# Past the system's path limit: reachable only step by step.
(for level in $(seq 17); do mkdir -p "$name250" && cd "$name250"; done; put deep.mp3; put 'deep unsafe.mp3')
cd /

remember_library
outside_state() {
  (cd / && find home tmp mnt \( -path "${lib#/}" -o -path mnt/check -o -path mnt/work \
    -o -path tmp/moh-xx -o -path tmp/xxx \) -prune -o -type f -exec sha256sum {} + -o -printf '%y %p\n') | sort
}
outside_state >/mnt/check/outside-before

run
expect_status 0
outside_state >/mnt/check/outside-after
diff -u /mnt/check/outside-before /mnt/check/outside-after || fail "something outside the library changed"
[ ! -s /mnt/check/unsafe ] || fail "unsafe bytes reached a command: $(cat /mnt/check/unsafe)"

# Walk the listing that find left beside the log, and check each entry's lines in turn.
exec 3</mnt/check/stdout
at=0
next() {
  IFS= read -r got <&3 || fail "the log ended early"
  at=$((at + 1))
}
expect() { next; [ "$got" = "$1" ] || fail "log line $at is '$got', not '$1'"; }
inside() {
  [[ $1 == "$lib/"?* ]] || return 1
  case "/${1#"$lib/"}/" in */./* | */../*) return 1 ;; esac
}
entries=0 converted=0 renamed=0 failed_renames=0 unconverted=0
while IFS= read -r line; do
  [ "${#line}" -ge 2 ] || continue
  entries=$((entries + 1))
  if ! inside "$line"; then
    expect "Ignoring listing line $line -- not under $lib"
    continue
  fi
  safe=$(printf '%s' "$line" | tr -c 'a-zA-Z0-9@#%=:./_-' '_')
  path=$line
  if [ "$safe" = "$line" ]; then
    expect "Leave the name $line alone"
  else
    next
    if [ "$got" = "Changed $line => $safe" ]; then
      renamed=$((renamed + 1)) path=$safe
    elif [[ $got == "Couldn't rename $line => $safe: "* ]]; then
      failed_renames=$((failed_renames + 1))
      continue
    else
      fail "log line $at is '$got', not the rename of '$line'"
    fi
  fi
  base=${path##*/}
  if [[ $base != *.mp3 ]]; then
    expect "skipping non-mp3 file conversion of $base-- must already be asterisk compatible!"
    continue
  fi
  next
  if [[ $got == "Not converting $path -- "* ]]; then
    unconverted=$((unconverted + 1))
    continue
  fi
  stem=${base%.mp3}
  [ "$got" = "Convert $stem to ulaw" ] || fail "log line $at is '$got', not the start of '$path'"
  converted=$((converted + 1))
  for format in alaw gsm sln sln16 g722; do expect "Convert $stem to $format"; done
done </tmp/moh-xx
expect "Found and converted $converted mp3 files"
expect "CHanged name of $renamed files"
expect "Now, to the db...."
! IFS= read -r got <&3 || fail "unexpected log line after the summary: $got"

# Every rule was met at least once, or the library lost its teeth.
for count in converted renamed failed_renames unconverted; do
  [ "${!count}" -gt 0 ] || fail "no entry was $count"
done
nothing_lost
files=$(wc -l </mnt/check/hashes-before)
echo "hostile: $entries listing lines, $files files, $converted converted, $renamed renamed," \
  "$failed_renames renames refused, $unconverted not converted, 0 lost"
