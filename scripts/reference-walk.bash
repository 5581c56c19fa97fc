#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The walk of moh-convert written as a plain bash loop: the baseline of scripts/bench. It lists,
# sanitises and converts the same way and prints the same log, without the safety checks on
# planted files.
lib=/home/services/asterisk/var/lib/asterisk/mohmp3
converter=/usr/lib/nagios/plugins/asterisk_convert
volumes=(1 0.9 0.8 0.7 0.6 0.5 0.4 0.3 0.2 0.1)

# Runs one command line; returns 0 when it clipped.
run_sox() {
  rm -f /tmp/xxx
  eval "$1"
  local status=$? capture=""
  [ "$status" = 0 ] || echo "Command failed with exit status $status: $1"
  [ -f /tmp/xxx ] && read -r -d '' capture </tmp/xxx
  rm -f /tmp/xxx
  [[ $capture == *decrease* ]]
}

convert() { # DIR STEM
  local dir=$1 stem=$2 step=0 format args command
  for format in ulaw alaw gsm sln sln16; do
    case $format in
    ulaw) args="-r 8000 -t ul" ;; alaw) args="-r 8000 -t al" ;; gsm) args="-r 8000 -t gsm" ;;
    sln) args="-r 8000 -t raw" ;; sln16) args="-r 16000 -t raw" ;;
    esac
    echo "Convert $stem to $format"
    if [ "$format" = ulaw ]; then
      command="sox $dir/$stem.mp3 -c 1 $args $dir/$stem.$format > /tmp/xxx 2>&1"
    else
      command="sox -v ${volumes[step]} $dir/$stem.mp3 -c 1 $args $dir/$stem.$format > /tmp/xxx 2>&1"
    fi
    while run_sox "$command"; do
      if [ "$step" = 9 ]; then
        echo "Still clipping at volume 0.1; keeping this conversion"
        break
      fi
      step=$((step + 1))
      echo "Volume appears to be too high; trying ${volumes[step]}..."
      command="sox -v ${volumes[step]} $dir/$stem.mp3 -c 1 $args $dir/$stem.$format > /tmp/xxx 2>&1"
    done
  done
  echo "Convert $stem to g722"
  "$converter" "$dir/$stem.sln16" "$dir/$stem.g722"
  local status=$?
  [ "$status" = 0 ] || echo "Command failed with exit status $status: $converter $dir/$stem.sln16 $dir/$stem.g722"
}

rm -f /tmp/moh-xx
find $lib -name \*.mp3 -o -name \*.ulaw  -o -name \*.alaw  -o -name \*.gsm  -o -name \*.wav  -o -name \*.WAV  -o -name \*. > /tmp/moh-xx 2>&1
[ -f /tmp/moh-xx ] || { echo "Couldn't open /tmp/moh-xx"; exit 20; }
converted=0 renamed=0
while IFS= read -r line; do
  [ "${#line}" -ge 2 ] || continue
  case "/${line#"$lib/"}/" in
  */./* | */../*) echo "Ignoring listing line $line -- not under $lib"; continue ;;
  esac
  if [[ $line != "$lib/"?* ]]; then
    echo "Ignoring listing line $line -- not under $lib"
    continue
  fi
  safe=${line//[^a-zA-Z0-9@#%=:.\/_-]/_}
  if [ "$safe" = "$line" ]; then
    echo "Leave the name $line alone"
  elif mv -n -T "$line" "$safe" 2>/dev/null && [ ! -e "$line" ]; then
    echo "Changed $line => $safe"
    renamed=$((renamed + 1))
    line=$safe
  else
    echo "Couldn't rename $line => $safe"
    continue
  fi
  base=${line##*/}
  if [[ $base != *.mp3 ]]; then
    echo "skipping non-mp3 file conversion of $base-- must already be asterisk compatible!"
    continue
  fi
  if [ ! -f "$line" ]; then
    echo "Not converting $line -- not a regular file"
    continue
  fi
  converted=$((converted + 1))
  convert "${line%/*}" "${base%.mp3}"
done </tmp/moh-xx
echo "Found and converted $converted mp3 files"
echo "CHanged name of $renamed files"
echo "Now, to the db...."
