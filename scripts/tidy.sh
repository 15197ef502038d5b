#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy) on the library's C++ files that
# this branch changed: against the merge base with origin/main, or against
# HEAD~1 when there is none, plus what is changed but not committed. Needs a
# configured build directory for its compile_commands.json.
#
#   scripts/tidy.sh [build-dir]      # default build/asan
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/asan}
cd "$root"

base=$(git merge-base HEAD origin/main 2>/dev/null || git rev-parse -q --verify HEAD~1 || true)
if [ -z "$base" ]; then
  echo "tidy: no base to compare with; nothing checked"
  exit 0
fi
# Headers are checked through the sources that include them.
mapfile -t files < <(git diff --name-only --diff-filter=d "$base" -- \
  'api/*.cpp' 'postgres/*.cpp' 'instance/*.cpp' 'error/*.cpp' 'infra/*.cpp' 'ipc/*.cpp')
if [ ${#files[@]} -eq 0 ]; then
  echo "tidy: no library source changed since ${base:0:12}"
  exit 0
fi
echo "tidy: ${#files[@]} file(s) changed since ${base:0:12}"
# clang-tidy counts the warnings it suppressed on stderr; only findings show.
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy-14 -p "$build" --quiet 2>&1 |
  { grep -v '^[0-9]* warnings\? generated\.$' || true; }
echo "tidy: clean"
