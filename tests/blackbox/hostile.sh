#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A library filled by hostile hands: every byte value in names, shell syntax, newlines (one of
# them forging a path through a link to a directory outside), collisions, unsafe directories
# (which keep their names),
# links inside and out, directories named like audio, paths past every length limit and past the
# listing's depth, empty and corrupt MP3s. Stand-ins for sox and the converter check their
# arguments and copy their input to their output. The log must give each entry the lines the
# rules give it, no unsafe byte or library path may reach a command, every output must be its
# own MP3's whole, nothing outside the library may change, and no file's content may be lost.
. "$(dirname "$0")/lib.sh"

stand_in_sox
# The converter's stand-in checks its arguments like sox's, and copies too.
cat >"$conv_path" <<'CONV'
#!/bin/sh
for arg in "$@"; do
  case $arg in
  *[!a-zA-Z0-9@#%=:./_-]*) printf 'converter: %s\n' "$arg" >>/mnt/check/unsafe ;;
  /var/lib/moh-convert/work/[0-9]*/*) ;;
  *) printf 'converter: %s\n' "$arg" >>/mnt/check/unsafe ;;
  esac
done
exec cat "$1" >"$2"
CONV

mkdir -p "$lib"
cd "$lib"
n=0
# Every file's content is its own, in a form Asterisk plays as the name says: this library is
# about names.
put() {
  n=$((n + 1))
  case $1 in
  *.wav) printf 'RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0data\x10\0\0\0content %8d' "$n" ;;
  *.gsm) printf '\xd0content %24d' "$n" ;;
  *) printf 'content %d\n' "$n" ;;
  esac >"$1"
}

# Every byte value in a name; half of them in MP3s, which keeps the run short.
for byte in $(seq 1 255); do
  printf -v octal %03o "$byte"
  ext=wav
  ((byte % 2)) && ext=mp3
  printf -v name "byte-%d-\\$octal-.$ext" "$byte"
  [ "$byte" = 47 ] || put "$name"
done
put $'tab\tname.mp3'
put $'new\nline.mp3'
put $'new\nline.wav'
put $'esc\e[31mred.mp3'
put 'x y.mp3'
put 'x(y.mp3'          # same safe name as the one above
put 'p_q.mp3'
put 'p q.mp3'          # its safe name is taken already
put 'song 1.mp3'
put 'song 1.ulaw'      # its safe name is the conversion's of the one above
put 'loud.MP3'
put 'Quiet Song.Mp3'
mkdir -p 'My Music' '$(touch /tmp' 'Your Music' Your_Music
put 'My Music/track.mp3'
put 'Your Music/a.mp3' # the directory's safe name is taken, and it keeps its own
put twin.mp3
put twin.MP3           # the same outputs as the one above
put 'Your Music/b.wav'
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
ln -s "$lib/byte-67-C-.mp3" inside.mp3
ln -s nowhere.mp3 dangling.mp3
ln -s loop.mp3 loop.mp3
mkfifo fifo.mp3
printf 'victim\n' >/mnt/victim
chmod 600 /mnt/victim
ln -s /mnt/victim escape.ulaw
ln -s /mnt/victim 'escape link.mp3'
ln -s ../../../../../../../mnt/victim climb.mp3
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
# A newline in a directory's name forges the line LIB/evil/Jingle Bells.mp3, and LIB/evil leads
# outside. With no entry named x the pieces are one entry; with one named y they are two.
mkdir /mnt/outside && put '/mnt/outside/Jingle Bells.mp3'
ln -s /mnt/outside evil
for dir in $'x\n' $'y\n'; do mkdir -p "$dir$lib/evil" && put "$dir$lib/evil/Jingle Bells.mp3"; done
mkdir y
name250=$(printf 'd%.0s' $(seq 250))
(for level in 1 2 3 4 5; do mkdir -p "$name250" && cd "$name250"; done; put long.mp3; put 'long unsafe.mp3')
# Past the system's path limit: reachable only step by step.
(for level in $(seq 17); do mkdir -p "$name250" && cd "$name250"; done; put deep.mp3; put 'deep unsafe.mp3')
# The listing's last level, and one below it.
(for _ in $(seq 31); do mkdir z && cd z; done; put edge.mp3; mkdir z; put z/past.mp3)
cd /

remember_library
outside_state >/mnt/check/outside-before
# What the library held, relative to it and with a leading slash: find's %y%Y (the type, and the
# type of a link's target) and a link's target.
declare -A kind target taken
while IFS= read -r -d '' types && IFS= read -r -d '' path && IFS= read -r -d '' link; do
  kind[$path]=$types target[$path]=$link taken[$path]=1
done < <(find "$lib" -mindepth 1 -printf '%y%Y\0/%P\0%l\0')

run
expect_status 1
same_outside
[ ! -s /mnt/check/unsafe ] || fail "unsafe bytes or library paths reached a command: $(cat /mnt/check/unsafe)"

# Replays the run over the listing it left: what each line must have given, in turn.
exec 3</mnt/check/stdout
at=0
# The log shows a byte below 0x20 or 0x7F as \xHH, and a backslash as \\; and a byte from 0x80
# to 0x9F outside a character of UTF-8, a C1 control, so too: the byte-N names hold such bytes.
controls=() escapes=()
for byte in $(seq 1 31) 127 $(seq 128 159); do
  printf -v octal '\\%03o' "$byte"
  printf -v control "$octal"
  controls+=("$control") && escapes+=("$(printf '\\x%02x' "$byte")")
done
expect() { # LINE, which may hold newlines of its own: still one line of the log
  local got shown=${1//\\/\\\\} k last=31
  [[ $1 != *byte-1[2-5][0-9]-* ]] || last=63
  for k in $(seq 0 "$last"); do shown=${shown//"${controls[k]}"/"${escapes[k]}"}; done
  IFS= read -r got <&3 || fail "the log ended early, before '$shown'"
  at=$((at + 1))
  [ "$got" = "$shown" ] || fail "log line $at is '$got', not '$shown'"
}
unsafe='[!a-zA-Z0-9@#%=:._/-]'
to_safe() { safe=${1//$unsafe/_}; }  # sets safe; the oracle forks as little as it can
inside() {
  [[ $1 == "$lib/"?* ]] || return 1
  case "/${1#"$lib/"}/" in */./* | */../* | *//*) return 1 ;; esac
}
# What the path (relative, with a leading slash) leads to: ok, link (a link in its directory
# part), nodir or noname.
locate() {
  local rest=${1#/} dir=""
  while [[ $rest == */* ]]; do
    dir+=/${rest%%/*} rest=${rest#*/}
    case ${kind[$dir]-} in dd) ;; l?) found=link && return ;; *) found=nodir && return ;; esac
  done
  [ -n "${kind[$1]-}" ] && found=ok || found=noname
}
# Sets mp3 to the MP3 in DIR whose conversion would write NAME, by its safe name; false if none.
conversion_of() { # DIR NAME
  local stem=$2 key other
  for other in ulaw alaw gsm sln sln16 g722; do [[ $2 != ?*.$other ]] || stem=${2%."$other"}; done
  [ "$stem" != "$2" ] || return 1
  for key in "${!taken[@]}"; do
    [ "${taken[$key]}" = 1 ] && [ "${key%/*}" = "$1" ] || continue
    other=${key##*/} other=${other//$unsafe/_}
    [[ $other == "$stem".[mM][pP]3 ]] && mp3=$other && return
  done
  return 1
}
# The rename of NAME to SAFE in DIR, shown as in SHOWN_DIR, or to the first free SAFE numbered
# _2, _3, ... before its extension; sets renamed_to. False when it must be refused.
rename_in() { # DIR NAME SAFE SHOWN_DIR
  local from=$lib$4/$2 safe=$3 stem=$3 extension="" n=2
  [[ $3 != ?*.* ]] || stem=${3%.*} extension=.${3##*.}
  while :; do
    if conversion_of "$1" "$safe"; then
      expect "Couldn't rename $from => $lib$4/$safe: the name is taken by the conversion of $mp3"
    elif [ "${taken[$1/$safe]-}" = 1 ] && [ "$n" -le 99 ]; then
      safe=${stem}_$n$extension n=$((n + 1))
      continue
    elif [ "${taken[$1/$safe]-}" = 1 ]; then
      expect "Couldn't rename $from => $lib$4/$safe: File exists"
    else
      expect "Changed $from => $lib$4/$safe"
      taken[$1/$2]=0 taken[$1/$safe]=1 renames=$((renames + 1)) renamed_to=$safe
      return 0
    fi
    failed_renames=$((failed_renames + 1))
    return 1
  done
}
# Sets why to the reason the MP3 listed at PATH, now at NOW, must not be converted; empty when it
# must.
refusal() { # PATH NOW
  local to=${target[$1]}
  [[ $to == /* ]] || to=$lib${1%/*}/$to
  why=""
  if [[ ${kind[$1]} == l? && $(realpath -m -s "$to") != "$lib/"* ]]; then
    why="the link leads outside the library"
  else
    case ${kind[$1]} in
    ff | lf) ;;
    lN) why="No such file or directory" ;;
    lL) why="Too many levels of symbolic links" ;;
    *) why="not a regular file" ;;
    esac
  fi
  # Names that differ only in the case of .mp3 write the same outputs: the first converts.
  local variant stem=${2%????}
  for variant in .MP3 .Mp3 .mP3 .mp3; do
    [ -z "$why" ] && [[ $stem$variant < $2 && ${taken[$stem$variant]-} = 1 ]] || continue
    why="${stem##*/}$variant beside it is converted to the same names"
  done
}

mapfile -t lines </tmp/moh-xx
expect "Not descending below 32 levels: $lib$(printf '/z%.0s' $(seq 32))"
entries=0 converted=0 renames=0 failed_renames=0 unconverted=0 i=0
outputs=()
while [ "$i" -lt "${#lines[@]}" ]; do
  line=${lines[i]} i=$((i + 1))
  [ "${#line}" -ge 2 ] || continue
  entries=$((entries + 1))
  if ! inside "$line"; then
    expect "Ignoring listing line $line -- not under $lib"
    continue
  fi
  locate "${line#"$lib"}"
  if [ "$found" = ok ]; then # lines that do not begin with the library's path continue a name
    more=()
    for ((j = i; j < ${#lines[@]} && j < i + 16; j++)); do
      [[ ${lines[j]} != "$lib/"* ]] || break
      more+=("${lines[j]}")
    done
    for ((k = ${#more[@]}; k > 0; k--)); do
      joined=$line
      for ((m = 0; m < k; m++)); do joined+=$'\n'${more[m]}; done
      inside "$joined" || continue
      locate "${joined#"$lib"}"
      [ "$found" = ok ] && line=$joined i=$((i + k)) && break
      found=ok
    done
  elif [ "$found" = noname ]; then # a piece of a name with newlines: join while the directory is there
    joined=$line
    for ((j = i; j < ${#lines[@]}; j++)); do
      joined+=$'\n'${lines[j]}
      inside "$joined" || break
      locate "${joined#"$lib"}"
      [ "$found" != nodir ] || break
      [ "$found" = noname ] || { line=$joined i=$((j + 1)) && break; }
    done
    [ "$line" = "$joined" ] || found=noname
  fi
  case $found in
  nodir | noname) expect "Ignoring listing line $line -- no such file or directory" && continue ;;
  link) expect "Ignoring listing line $line -- through a link" && continue ;;
  esac
  # Folders keep their names: only the entry's own name is made safe.
  path=${line#"$lib"} rest=${path##*/} dir=${path%/*} shown=${path%/*}
  to_safe "$rest"
  name=$safe
  [[ ${kind[$path]} != d? ]] || name=$rest
  if [ "$name" = "$rest" ]; then
    expect "Leave the name $lib$shown/$name alone"
  else
    rename_in "$dir" "$rest" "$name" "$shown" || continue
    name=$renamed_to
  fi
  if [[ $name != *.[mM][pP]3 ]]; then
    expect "skipping non-mp3 file conversion of $name-- must already be asterisk compatible!"
    continue
  fi
  stem=$lib$shown/${name%????}
  refusal "$path" "$dir/$name"
  if [ -n "$why" ]; then
    expect "Not converting $lib$shown/$name -- $why"
    [[ $why == *beside* || ! -e $stem.ulaw ]] || fail "$stem.ulaw was made for an MP3 that is not to be converted"
    unconverted=$((unconverted + 1))
    continue
  fi
  for format in ulaw alaw gsm sln sln16 g722; do expect "Convert ${stem##*/} to $format"; done
  converted=$((converted + 1))
  [ "${#stem}" -gt 4000 ] || outputs+=("$stem" "$lib$shown/$name")
done
expect "Found and converted $converted mp3 files"
expect "CHanged name of $renames files"
expect "Now, to the db...."
! IFS= read -r got <&3 || fail "unexpected log line after the summary: $got"

# Each output of a conversion is its own MP3 whole, as the stand-in copied it.
for ((o = 0; o < ${#outputs[@]}; o += 2)); do
  IFS= read -r -d '' mp3 <"${outputs[o + 1]}" || true
  for format in ulaw alaw gsm sln sln16 g722; do
    IFS= read -r -d '' copy <"${outputs[o]}.$format" || true
    [ "$copy" = "$mp3" ] || fail "${outputs[o]}.$format is not its MP3's"
  done
done
# Every rule was met at least once, or the library lost its teeth.
for count in converted renames failed_renames unconverted; do
  [ "${!count}" -gt 0 ] || fail "no entry was $count"
done
nothing_lost
files=$(wc -l </mnt/check/hashes-before)
echo "hostile: $entries listing lines, $files files, $converted converted, $renames renamed," \
  "$failed_renames renames refused, $unconverted not converted, 0 lost"
