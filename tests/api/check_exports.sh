#!/usr/bin/env bash
# libkelvo.so exports functions named kelvo_ and nothing else.
set -euo pipefail
lib=$1
symbols=$(nm -D --defined-only "$lib" | awk '{print $2 " " $3}')
bad=$(printf '%s\n' "$symbols" | grep -v -E '^[TW] kelvo_' || true)
if [ -n "$bad" ]; then
  echo "libkelvo.so exports more than the kelvo_ functions:"
  printf '%s\n' "$bad"
  exit 1
fi
echo "exports: $(printf '%s\n' "$symbols" | grep -c kelvo_ || true) kelvo_ functions"
