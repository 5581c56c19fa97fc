#!/usr/bin/env bash
# Runs cases of a black-box script, each in a private mount namespace of its own.
# Usage: run.sh MOH_CONVERT ASTERISK_CONVERT SCRIPT CASE...
set -u
. "$(dirname "$0")/../checks.sh"
command=$1 converter=$2 script=$3
shift 3
for case in "$@"; do
  check "$case" unshare --mount bash "$script" "$command" "$converter" "$case"
done
finish
