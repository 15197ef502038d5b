#!/usr/bin/env bash
# Installs the build into a scratch prefix, checks the installed layout, then
# builds an example against that tree twice, with pkg-config and with
# find_package, and runs both builds with no variable pointing at the library
# or the server.
# Arguments: build directory, library directory name (lib), C compiler, extra
# compile and link flags (the sanitizers of the build, or ""), example source,
# its expected output.
set -euo pipefail
build=$1 libdir_name=$2 cc=$3 flags=$4 example=$(realpath "$5") expected=$(realpath "$6")
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
libdir=$prefix/$libdir_name

cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "$*"; exit 1; }
lib=$libdir/libkelvo.so.0.1.0
[ "$(readlink "$libdir/libkelvo.so")" = libkelvo.so.0 ] || fail "libkelvo.so does not link to libkelvo.so.0"
[ "$(readlink "$libdir/libkelvo.so.0")" = libkelvo.so.0.1.0 ] || fail "libkelvo.so.0 does not link to the release"
readelf -d "$lib" | grep -q 'soname: \[libkelvo\.so\.0\]' || fail "wrong soname"
readelf -d "$lib" | grep -q 'FLAGS_1.*NODELETE' || fail "libkelvo.so may be unloaded under its own threads"
[ -x "$libdir/kelvo/kelvod" ] && [ -f "$libdir/kelvo/libduckdb.so" ] || fail "no server or engine in $libdir/kelvo"
readelf -d "$libdir/kelvo/kelvod" | grep -q 'runpath: \[\$ORIGIN\]' || fail "kelvod does not look beside itself"
# The installed headers declare exactly what the installed library exports.
"$here/../api/check_exports.sh" "$lib" "$prefix/include"

# The whole environment but what could point at the library or the server.
run() { env -u LD_LIBRARY_PATH -u KELVO_PATH "$here/../examples/run_example.sh" "$1" "$expected"; }

pc() { PKG_CONFIG_LIBDIR=$libdir/pkgconfig pkg-config "$@"; }
# shellcheck disable=SC2046,SC2086
"$cc" $flags "$example" $(pc --cflags --libs kelvo) -Wl,-rpath,"$(pc --variable=libdir kelvo)" \
  -o "$scratch/with_pkg_config"
run "$scratch/with_pkg_config"

cmake -S "$here/consumer" -B "$scratch/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$flags" -DKELVO_CONSUMER_SOURCE="$example" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
run "$scratch/consumer/consumer"
