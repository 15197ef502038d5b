#!/usr/bin/env bash
# Fetches DuckDB from the npm registry into .deps/duckdb (ignored by git):
# lib/libduckdb.so 1.5.6 from the Linux x64 node bindings and include/duckdb.h
# from the 1.4.4 duckdb package's sources (no reachable package publishes a 1.5
# header; every function kelvod calls is declared there with the same
# signature). Each tarball is checked against the sha512
# integrity that the registry publishes for it before anything is unpacked.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dest="$root/.deps/duckdb"
stamp="$dest/.complete-1.5.6-header-1.4.4"
[ -f "$stamp" ] && exit 0

bindings_pkg='@duckdb/node-bindings-linux-x64@1.5.6-r.1'
bindings_sri='sha512-IXcrZJE6kEqM0Z4wwdVnGBHX/frOS33VPNAwDXQ/Q+Fs84b058Qe94chrCCIcNJlG8Y3UHIUU4eBeCQxW5mN1Q=='
header_pkg='duckdb@1.4.4'
header_sri='sha512-hEJJ5hyVF0VLj3dmOLpsWrQR0b3d4Ykqtygm6iUXjHJDDnSqg/USKxcb5qvNrOhFYPgktayU6dXCtgPqcmmpog=='

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fetch() {  # package, expected integrity -> prints the tarball path
  local pkg=$1 sri=$2 file actual
  file=$(cd "$work" && npm pack --silent "$pkg" | tail -n 1)
  actual="sha512-$(openssl dgst -sha512 -binary "$work/$file" | base64 -w0)"
  if [ "$actual" != "$sri" ]; then
    echo "fetch_duckdb: integrity mismatch for $pkg" >&2
    echo "  expected $sri" >&2
    echo "  got      $actual" >&2
    exit 1
  fi
  echo "$work/$file"
}

bindings=$(fetch "$bindings_pkg" "$bindings_sri")
header=$(fetch "$header_pkg" "$header_sri")

rm -rf "$dest"
mkdir -p "$dest/lib" "$dest/include"
tar -xzf "$bindings" -C "$work" package/libduckdb.so
mv "$work/package/libduckdb.so" "$dest/lib/"
tar -xzf "$header" -C "$work" package/src/duckdb/src/include/duckdb.h
mv "$work/package/src/duckdb/src/include/duckdb.h" "$dest/include/"
touch "$stamp"
echo "fetch_duckdb: DuckDB 1.5.6 (header 1.4.4) is in $dest"
