#!/usr/bin/env bash
# Measures line and branch coverage of the library and the server over every
# CTest test: builds build/coverage with gcov counters, runs the suite, and
# prints gcovr's summary (tests, benchmarks and examples left out). The HTML
# report lands in build/coverage/coverage.html. Figures drift by a few lines
# between runs: a server that its fixture kills after the stop time-out writes
# no counters. Counters update atomically, since the server and the library
# count from several threads at once.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
if ! command -v gcovr >/dev/null 2>&1; then
  [ "$(id -u)" = 0 ] || { echo "coverage: run as root to install gcovr" >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends gcovr
fi
build="$root/build/coverage"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS="--coverage -fprofile-update=atomic" -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" -DCMAKE_EXE_LINKER_FLAGS=--coverage \
  -DCMAKE_SHARED_LINKER_FLAGS=--coverage
cmake --build "$build"
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" --timeout 900 -j "$(nproc)" || echo "coverage: some tests failed; figures cover what ran" >&2
cd "$root"
gcovr --root "$root" --object-directory "$build" \
  --filter "$root/(api|error|infra|instance|ipc|postgres|kelvod)/" \
  --gcov-exclude '.*CompilerId.*' \
  --print-summary --html-details "$build/coverage.html" | grep -E '^(lines|branches):'
