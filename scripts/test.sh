#!/usr/bin/env bash
# Sets up, builds kelvo with AddressSanitizer and UndefinedBehaviorSanitizer
# (build/asan), checks the library, the server and the test fixtures with
# clang-tidy (only what changed since they were last found clean) and runs
# every test; then builds the threaded tests with
# ThreadSanitizer (build/tsan) and runs them; then builds the fuzz targets
# with clang (build/fuzz) and runs each briefly. Any failure fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
jobs=$(nproc)

build="$root/build/asan"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVO_SANITIZE=ON -DKELVO_WERROR=ON
cmake --build "$build"
"$root/scripts/tidy.sh" "$build"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure --timeout 900 -j "$jobs"

# Only the tests labelled `threaded`, and what they start, are built here.
tsan="$root/build/tsan"
cmake -S "$root" -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVO_SANITIZE_THREAD=ON -DKELVO_WERROR=ON
cmake --build "$tsan" --target threaded_tests
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan_suppressions.txt} \
  ctest --test-dir "$tsan" -L threaded --output-on-failure --timeout 900 -j "$jobs"

"$root/scripts/fuzz.sh" 20
