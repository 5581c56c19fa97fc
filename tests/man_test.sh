#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The manual pages install under share/man/man1 and render with no warning from man or groff;
# --help, the manual page and the bash completion offer the same options.
set -u
. "$(dirname "$0")/checks.sh"
build=$1
stage=$(mktemp -d /tmp/moh-man.XXXXXX)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" >/dev/null 2>&1

renders_cleanly() { # PAGE
  local file warnings section
  file=$(find "$stage" -path "*/share/man/man1/$1.1")
  [ -n "$file" ] || { echo "  not installed under share/man/man1"; return 1; }
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >"$stage/$1.txt")
  [ -z "$warnings" ] || { echo "  $warnings"; return 1; }
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES EXAMPLES "SEE ALSO"; do
    grep -q "^$section\$" "$stage/$1.txt" || { echo "  no section $section"; return 1; }
  done
}
for page in moh-convert asterisk_convert g729_convert; do
  check "$page.1" renders_cleanly "$page"
done

# --help and the manual page name the same options.
options_of() { grep -oE -- '(^|[ ,])--?[a-zA-Z][-a-z]*' | tr -d ' ,' | sort -u; }
help_and_man_agree() {
  local help man
  help=$("$build/moh-convert" --help | options_of)
  man=$(sed -n '/^OPTIONS$/,/^OUTPUT$/p' "$stage/moh-convert.txt" | options_of)
  [ -n "$help" ] && [ "$help" = "$man" ] || { diff <(echo "$help") <(echo "$man"); return 1; }
}
check "moh-convert --help and its manual page agree" help_and_man_agree

# What the completion offers for the command line "moh-convert WORD...", the last word being
# completed, split at "=" as bash splits it.
completions() {
  (
    . "$(dirname "$0")/../contrib/bash-completion/moh-convert"
    COMP_WORDS=(moh-convert "$@") COMP_CWORD=$#
    _moh_convert
    printf '%s\n' "${COMPREPLY[@]}"
  )
}
completes_every_option() {
  local missing
  missing=$(comm -23 <("$build/moh-convert" --help | grep -E "^ +-" | options_of) <(completions - | tr -d = | sort -u))
  [ -z "$missing" ] || { echo "  not completed: ${missing//$'\n'/ }"; return 1; }
}
check "the completion offers every option --help names" completes_every_option
completes_folders_only() {
  mkdir -p "$stage/lib/Sales Queue" && touch "$stage/lib/Hold Music.mp3"
  [ "$(completions --library = "$stage/lib/")" = "$stage/lib/Sales Queue" ]
}
check "the completion of --library= offers folders, spaces and all" completes_folders_only
finish
