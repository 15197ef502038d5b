#!/usr/bin/env bash
# Installs what building and testing kelvo needs on Debian 12, then fetches
# DuckDB (the SQL engine of the stand-in server). Safe to run again: packages
# already present are left alone and a verified DuckDB is not fetched twice.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates openssl
  libboost-dev libboost-filesystem-dev libboost-system-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  postgresql-15 postgresql-client-15 libpq-dev python3-psycopg2
  clang libclang-rt-14-dev clang-tidy-14 gdb
  nodejs npm
)

missing=()
for p in "${packages[@]}"; do
  # npm ships inside the nodesource build of nodejs on some machines.
  if [ "$p" = npm ] && command -v npm >/dev/null 2>&1; then continue; fi
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || { echo "setup: run as root to install: ${missing[*]}" >&2; exit 1; }
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

"$here/fetch_duckdb.sh"
