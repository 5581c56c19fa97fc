# Sourced by the black-box scripts, inside their private mount namespace, with the arguments
# MOH_CONVERT ASTERISK_CONVERT CASE. /home, /tmp and /usr/lib seen here are private copies, so
# the real fixed paths stay untouched; /mnt is scratch space for the test's own files.
set -eu
export LC_ALL=C  # find words its messages in the locale; C keeps them, and byte handling, fixed
command=$1 converter=$2 case=$3
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/private-paths.sh"
private_paths "$command" "$converter"
mkdir /mnt/cwd /mnt/check  # check: the test's own records, outside what it watches
lib=/home/services/asterisk/var/lib/asterisk/mohmp3
conv_path=/usr/lib/nagios/plugins/asterisk_convert

summary() { printf 'Found and converted %d mp3 files\nCHanged name of %d files\nNow, to the db....\n' "$1" "$2"; }
converts() { for f in ulaw alaw gsm sln sln16 g722; do printf 'Convert %s to %s\n' "$1" "$f"; done; }
fail() { echo "FAILED ($case): $*"; exit 1; }
# Runs the command from a scratch directory, so that anything it wrongly ran lands in sight.
run() { set +e; (cd /mnt/cwd && /mnt/moh-convert) >/mnt/check/stdout 2>/mnt/check/stderr; status=$?; set -e; }
expect_status() { [ "$status" = "$1" ] || fail "exit status $status, not $1 (stderr: $(cat /mnt/check/stderr))"; }
same_stdout() { diff -u /mnt/check/expected /mnt/check/stdout || fail "stdout differs"; }
# A stand-in sox on the search path: records its arguments, one per line after a CALL line, and
# writes its output file (the last argument) the way sox would, following links.
stand_in_sox() {
  mkdir -p /mnt/bin
  cat >/mnt/bin/sox <<'SOX'
#!/bin/sh
{ echo CALL; for arg in "$@"; do printf '%s\n' "$arg"; done; } >>/mnt/check/sox-calls
for arg in "$@"; do
  case $arg in *[!a-zA-Z0-9@#%=:./_-]*) printf 'sox: %s\n' "$arg" >>/mnt/check/unsafe ;; esac
done
eval "out=\${$#}"
# Bounded, so that a FIFO planted as the output fails the test instead of hanging it.
timeout 10 sh -c 'printf "converted by the stand-in\n" >"$1"' - "$out"
SOX
  chmod +x /mnt/bin/sox
  export PATH=/mnt/bin:$PATH
}
format_args() {
  case $1 in
  ulaw) echo "-r 8000 -t ul" ;; alaw) echo "-r 8000 -t al" ;; gsm) echo "-r 8000 -t gsm" ;;
  sln) echo "-r 8000 -t raw" ;; sln16) echo "-r 16000 -t raw" ;;
  esac
}
# The sox command line of FORMAT for DIR/STEM.mp3, at FACTOR ("" for the very first run).
sox_line() { printf 'sox %s%s/%s.mp3 -c 1 %s %s/%s.%s > /tmp/xxx 2>&1' "${4:+-v $4 }" "$2" "$3" "$(format_args "$1")" "$2" "$3" "$1"; }
converter_line() { printf '%s %s/%s.sln16 %s/%s.g722' "$conv_path" "$1" "$2" "$1" "$2"; }

# Contents of every regular file in the library, so that a later check can tell none was lost. A
# file with further hard links is left out: its content lives on outside the library.
# -execdir reaches paths too long to name whole; sha256sum marks odd names with a backslash.
library_hashes() { find "$lib" -type f -links 1 -execdir sha256sum {} + | cut -d' ' -f1 | tr -d '\\' | sort -u; }
remember_library() { library_hashes >/mnt/check/hashes-before; }
nothing_lost() {
  library_hashes >/mnt/check/hashes-after
  local lost
  lost=$(comm -23 /mnt/check/hashes-before /mnt/check/hashes-after | wc -l)
  [ "$lost" = 0 ] || fail "$lost file contents lost"
}
