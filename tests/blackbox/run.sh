#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs cases of a black-box script, each in a private mount namespace of its own; the words
# after "--" (helper programs) go to every case.
# Usage: run.sh MOH_CONVERT ASTERISK_CONVERT SCRIPT CASE... [-- HELPER...]
set -u
. "$(dirname "$0")/../checks.sh"
command=$1 converter=$2 script=$3
shift 3
cases=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do cases+=("$1"); shift; done
[ $# -eq 0 ] || shift
for case in "${cases[@]}"; do
  check "$case" unshare --mount bash "$script" "$command" "$converter" "$case" "$@"
done
finish
