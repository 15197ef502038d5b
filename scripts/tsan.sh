#!/usr/bin/env bash
# Builds the server and its tests with ThreadSanitizer (build/tsan) and runs
# them. Reports inside the engine's library are suppressed (scripts/tsan.supp);
# any other report, from the server or a test, fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/tsan"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS=-fsanitize=thread -Wno-tsan" "-DCMAKE_C_FLAGS=-fsanitize=thread" \
  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread" "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread"
# The targets of tests/kelvod/CMakeLists.txt.
tests="kelvod_pieces_test kelvod_process_test kelvod_sessions_test kelvod_results_test kelvod_catalog_test
  kelvod_robustness_test kelvod_copy_from_test kelvod_streams_test"
cmake --build "$build" -j "${JOBS:-3}" --target kelvod $tests
logs=$(mktemp -d)
export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp halt_on_error=0 report_signal_unsafe=0 log_path=$logs/tsan"
ctest --test-dir "$build" -R '^kelvod_' --output-on-failure --timeout 600 -j "${JOBS:-3}"
if grep -l "WARNING: ThreadSanitizer" "$logs"/* 2>/dev/null; then
  cat "$logs"/*
  exit 1
fi
echo "no ThreadSanitizer report outside the engine"
