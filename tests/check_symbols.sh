#!/usr/bin/env bash
# The shared library exports exactly the names listed in symbols/*.txt.
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
