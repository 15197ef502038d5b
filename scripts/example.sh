#!/usr/bin/env bash
# Sets up, builds kelvo (release, build/release) and runs the example that
# loads rows through an inserter buffer and reads them back.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVO_BUILD_TESTS=OFF
cmake --build "$root/build/release" --target kelvo_example_insert_rows
"$root/build/release/bin/kelvo_example_insert_rows"
