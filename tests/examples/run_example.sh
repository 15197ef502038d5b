#!/usr/bin/env bash
# Runs an example program in a scratch directory: it must succeed, print what
# the expected file says (each line an extended regular expression that the
# same output line matches in full) and leave no file behind.
set -euo pipefail
program=$(realpath "$1")
expected=$(realpath "$2")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
output=$("$program")
mapfile -t lines <<<"$output"
mapfile -t patterns <"$expected"
mismatch=$(( ${#lines[@]} != ${#patterns[@]} ))
for i in "${!patterns[@]}"; do
  [[ ${lines[i]-} =~ ^${patterns[i]}$ ]] || mismatch=1
done
if [ "$mismatch" -ne 0 ]; then
  printf 'expected:\n%s\ngot:\n%s\n' "$(cat "$expected")" "$output"
  exit 1
fi
leftovers=$(ls -A)
[ -z "$leftovers" ] || { printf 'left behind:\n%s\n' "$leftovers"; exit 1; }
