#!/usr/bin/env bash
# Configures a host project that takes the kernels in with add_subdirectory
# where pkg-config finds neither libzstd nor libxxhash: the kernels need
# neither, and asking for the codec names the package to install.
set -euo pipefail
source=$1 here=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
mkdir "$out/pc"
export PKG_CONFIG_LIBDIR="$out/pc" PKG_CONFIG_PATH=""
cmake -S "$here" -B "$out/host" -DVARDA_SOURCE="$source" >"$out/log" 2>&1 ||
  { cat "$out/log"; echo "the kernels did not configure as a subproject"; exit 1; }
if cmake -S "$here" -B "$out/codec" -DVARDA_SOURCE="$source" -DVARDA_ENABLE_CODEC=ON \
    >"$out/log" 2>&1; then
  echo "the codec configured without libzstd"; exit 1
fi
grep -q "libzstd-dev" "$out/log" || { cat "$out/log"; echo "no package named"; exit 1; }
echo "the kernels configure as a subproject without libzstd and libxxhash"
