#!/usr/bin/env bash
# libkelvo.so exports functions named kelvo_ and nothing else, and exactly the
# functions that the public headers declare: a declared function that is not
# exported fails only when an application links, an exported one that is not
# declared is an accident of visibility. Each declared prototype and type is
# pinned too: a changed argument, constness, result type, enumerator value or
# record member breaks callers that were compiled against the old header.
set -euo pipefail
lib=$1
include_dir=${2:-}
gcc=${3:-gcc}
symbols=$(nm -D --defined-only "$lib" | awk '{print $2 " " $3}')
bad=$(printf '%s\n' "$symbols" | grep -v -E '^[TW] kelvo_' || true)
if [ -n "$bad" ]; then
  echo "libkelvo.so exports more than the kelvo_ functions:"
  printf '%s\n' "$bad"
  exit 1
fi
echo "exports: $(printf '%s\n' "$symbols" | grep -c kelvo_ || true) kelvo_ functions"
if [ -n "$include_dir" ]; then
  exported=$(printf '%s\n' "$symbols" | awk '{print $2}' | sort -u)
  # Declarations only: comments may name functions too.
  declared=$(sed -e 's#/\*.*\*/##' -e '/^ *\/\?\*/d' "$include_dir"/kelvo/*.h |
             grep -o '\bkelvo_[a-z0-9_]*(' | tr -d '(' | sort -u)
  missing=$(comm -13 <(printf '%s\n' "$exported") <(printf '%s\n' "$declared"))
  extra=$(comm -23 <(printf '%s\n' "$exported") <(printf '%s\n' "$declared"))
  if [ -n "$missing" ] || [ -n "$extra" ]; then
    [ -z "$missing" ] || { echo "declared but not exported:"; printf '%s\n' "$missing"; }
    [ -z "$extra" ] || { echo "exported but not declared:"; printf '%s\n' "$extra"; }
    exit 1
  fi
  count=$(printf '%s\n' "$declared" | wc -l)
  if [ "$count" -ne 135 ]; then
    echo "the headers declare $count functions, not 135"
    exit 1
  fi
  # The prototypes come from GCC's -aux-info, one a line with parameter names
  # dropped; the type declarations (records with their members, enumerators
  # with their values, call-back types) from the preprocessed headers, in
  # order, with spacing normalised. One digest pins both.
  aux=$(mktemp)
  trap 'rm -f "$aux"' EXIT
  echo '#include "kelvo/kelvo.h"' | "$gcc" -std=c99 -fsyntax-only -aux-info "$aux" -I"$include_dir" -x c -
  prototypes=$(grep '/kelvo/[a-z_]*\.h:' "$aux" | sed 's#^/\*[^*]*\*/ ##' | sort)
  types=$(echo '#include "kelvo/kelvo.h"' | "$gcc" -std=c99 -E -I"$include_dir" -x c - |
          awk '/^# [0-9]+ "/ {own = ($3 ~ /\/kelvo\/[a-z_]+\.h"$/); next} own' | tr -s ' \t\n' ' ' |
          sed -e 's/ *\([][(),;{}*=]\) */\1/g' -e 's/;/;\n/g' | grep -v 'visibility("default")')
  digest=$(printf '%s\n%s\n' "$prototypes" "$types" | sha256sum | cut -d' ' -f1)
  if [ "$digest" != f72434f6b0da84fd586921e4c06141322b923c6428514e8f97157edd599982ea ]; then
    echo "the interface's prototypes or types changed (digest $digest); they now read:"
    printf '%s\n%s\n' "$prototypes" "$types"
    exit 1
  fi
fi
