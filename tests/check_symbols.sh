#!/usr/bin/env bash
# The shared library exports exactly the names listed in symbols/*.txt, and
# calls none of them through its PLT.
set -euo pipefail
lib=$1 lists=$2
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u)
expected=$(cat "$lists"/*.txt | grep -v '^#' | grep -v '^$' | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the list (< exported, > listed):"
  diff <(echo "$actual") <(echo "$expected") || true
  exit 1
fi
echo "$(echo "$actual" | wc -l) exported symbols, as listed"

# A PLT slot with a symbol value names a function the library defines: a
# call that a host's function of the same name would take over.
own=$(readelf -rW "$lib" | awk '$3 ~ /JUMP_SLOT/ && $4 !~ /^0+$/ {print $5}')
if [ -n "$own" ]; then
  echo "the library calls its own functions through the PLT:" $own
  exit 1
fi
