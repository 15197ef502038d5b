#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (ASan+UBSan, in
# build/fuzz) and runs each for a while, two at a time. Any crash, leak, hang
# or failed invariant fails the run; the input that did it is left in
# build/fuzz/findings/<target>/. An input that only passes the 10-second
# limit is run again alone with a generous one: the targets trap on a real
# hang themselves (after 30 s), so one that then finishes is slow, not
# faulty, and is reported without failing the run.
#
#   scripts/fuzz.sh             # about 20 s per target
#   scripts/fuzz.sh 600         # ten minutes per target
#   scripts/fuzz.sh 600 sql_rewriter conninfo    # only these targets
#
# New inputs that reach further are kept in build/fuzz/corpus/<target>/ (the
# seeds in tests/fuzz/corpus/ are read, never written), so a later run
# continues where this one stopped.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
shift || true
build="$root/build/fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELVO_FUZZ=ON -DKELVO_BUILD_TESTS=OFF -DKELVO_WERROR=ON >/dev/null
cmake --build "$build" --target kelvo_fuzzers

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for seeds in "$root"/tests/fuzz/corpus/*/; do targets+=("$(basename "$seeds")"); done
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run() {
  local t=$1 log="$build/findings/$1.log"
  mkdir -p "$build/corpus/$t" "$build/findings/$t"
  rm -f "$log.replay"
  local left=$seconds started=$SECONDS slow
  while :; do
    if "$build/bin/${t}_fuzz" -max_total_time="$left" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
         -print_final_stats=1 -artifact_prefix="$build/findings/$t/" \
         "$build/corpus/$t" "$root/tests/fuzz/corpus/$t" >"$log" 2>&1; then
      echo "fuzz: $t: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs, clean"
      return 0
    fi
    slow=$(grep -m1 -o "Test unit written to .*/timeout-[0-9a-f]*" "$log" | sed 's/^Test unit written to //') || true
    [ -n "$slow" ] && "$build/bin/${t}_fuzz" -timeout=120 "$slow" >"$log.replay" 2>&1 || break
    echo "fuzz: $t: $(basename "$slow") is slow but finishes; left in findings, not a fault"
    mv "$slow" "$slow.slow"
    left=$((seconds - (SECONDS - started)))
    [ "$left" -gt 0 ] || return 0
  done
  {
    echo "fuzz: $t FAILED; its output:"
    tail -n 60 "$log"
    [ -f "$log.replay" ] && { echo "replayed alone:"; tail -n 30 "$log.replay"; }
  } >&2
  return 1
}

status=0
pids=()
for t in "${targets[@]}"; do
  run "$t" &
  pids+=($!)
  if [ ${#pids[@]} -eq 2 ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[1]}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
