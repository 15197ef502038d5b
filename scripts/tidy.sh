#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy) over the whole tree: the library
# (api, error, infra, instance, ipc, postgres), the server (kelvod) and the test
# fixtures (tests/support); headers are checked through the sources that
# include them. Needs a build directory built with Ninja: its
# compile_commands.json gives the flags, ninja's dependency log the headers
# each source includes.
#
# A source found clean is remembered in <build-dir>/tidy-cache under a digest
# of everything its result depends on (clang-tidy's version, .clang-tidy, its
# compile command, its own text and that of every file it includes), so that
# the next run checks only what changed. Delete that folder to check all.
#
#   scripts/tidy.sh [build-dir]      # default build/asan
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/asan}" && pwd)
tidy=clang-tidy-14
cache=$build/tidy-cache
cd "$root"
mkdir -p "$cache"

mapfile -t sources < <(git ls-files 'api/*.cpp' 'error/*.cpp' 'infra/*.cpp' 'instance/*.cpp' 'ipc/*.cpp' \
  'postgres/*.cpp' 'kelvod/*.cpp' 'tests/support/*.cpp')

# Prints, per source, the digest its clean result is remembered under, then the source.
read -r -d '' keyer <<'PY' || true
import hashlib, json, os, subprocess, sys

build, version, sources = sys.argv[1], sys.argv[2], sys.argv[3:]
commands = {}
with open(os.path.join(build, "compile_commands.json")) as f:
    for entry in json.load(f):
        path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
        commands.setdefault(path, []).append(entry.get("command") or " ".join(entry["arguments"]))
# `ninja -t deps` lists each object's inputs, its source first.
includes, current = {}, None
deps = subprocess.run(["ninja", "-C", build, "-t", "deps"], capture_output=True, text=True, check=True).stdout
for line in deps.splitlines():
    if not line.strip():
        current = None
    elif not line[0].isspace():
        current = []
    elif current is not None:
        path = os.path.normpath(os.path.join(build, line.strip()))
        if not current:
            current = includes.setdefault(path, [])
        current.append(path)
digests = {}


def digest(path):
    if path not in digests:
        try:
            with open(path, "rb") as f:
                digests[path] = hashlib.sha256(f.read()).hexdigest()
        except OSError:
            digests[path] = "missing"
    return digests[path]


with open(".clang-tidy", "rb") as f:
    common = hashlib.sha256(version.encode() + f.read()).hexdigest()
for source in sources:
    path = os.path.join(os.getcwd(), source)
    if path not in includes:  # not built: checked, never remembered
        print("unbuilt", source)
        continue
    key = hashlib.sha256(common.encode())
    for command in sorted(commands.get(path, [])):
        key.update(command.encode())
    for dependency in sorted(set(includes[path] + [path])):
        key.update(dependency.encode() + digest(dependency).encode())
    print(key.hexdigest(), source)
PY

mapfile -t stale < <(python3 -c "$keyer" "$build" "$("$tidy" --version)" "${sources[@]}" |
  while read -r key source; do
    [ -e "$cache/$key" ] || printf '%s %s\n' "$key" "$source"
  done)
if [ ${#stale[@]} -eq 0 ]; then
  echo "tidy: ${#sources[@]} source(s), none changed since found clean"
  exit 0
fi
echo "tidy: checking ${#stale[@]} of ${#sources[@]} source(s)"
# clang-tidy counts the warnings it suppressed on stderr; only findings show,
# one source at a time. A source is remembered only when found clean.
printf '%s\n' "${stale[@]}" | xargs -P "$(nproc)" -L 1 sh -c '
  out=$('"$tidy"' -p "$0" --quiet "$2" 2>&1) && status=0 || status=$?
  printf "%s\n" "$out" | grep -v -e "^[0-9]* warnings\? generated\.$" -e "^$" || true
  [ "$status" -eq 0 ] && [ "$1" != unbuilt ] && touch "$0/tidy-cache/$1"
  exit "$status"' "$build"
echo "tidy: clean"
