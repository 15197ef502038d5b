#!/usr/bin/env bash
# Builds the server and its load tests with ThreadSanitizer (build/tsan) and
# runs them. The engine is not instrumented: its own locking is left out of
# the reports, no data race is suppressed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/tsan"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  "-DCMAKE_CXX_FLAGS=-fsanitize=thread -Wno-tsan -O1 -g" "-DCMAKE_C_FLAGS=-fsanitize=thread -O1 -g" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread
cmake --build "$build" -j3 --target kelvod kelvod_copy_from_test kelvod_streams_test
export TSAN_OPTIONS="suppressions=$root/scripts/tsan_suppressions.txt:halt_on_error=1:report_signal_unsafe=0"
ctest --test-dir "$build" -R 'kelvod_(copy_from|streams)_test' --output-on-failure
