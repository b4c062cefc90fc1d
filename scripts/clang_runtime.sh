#!/usr/bin/env bash
# Prints the Debian package of the clang runtime (sanitizers, libFuzzer)
# that matches the clang this machine has or would install:
# libclang-rt-<major>-dev.
set -euo pipefail
major=""
if command -v clang >/dev/null 2>&1; then
  major=$(clang -dumpversion | cut -d. -f1)
else
  # The default clang package depends on clang-<major>.
  major=$(apt-cache depends clang 2>/dev/null |
    sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1)
fi
if [ -z "$major" ]; then
  # Whatever runtime the archive has, newest first.
  major=$(apt-cache search --names-only '^libclang-rt-[0-9]+-dev$' 2>/dev/null |
    sed -n 's/^libclang-rt-\([0-9][0-9]*\)-dev .*/\1/p' | sort -n | tail -n 1)
fi
if [ -z "$major" ]; then
  echo "clang_runtime: no clang and no libclang-rt-*-dev package found" >&2
  exit 1
fi
echo "libclang-rt-$major-dev"
