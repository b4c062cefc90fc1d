#!/usr/bin/env bash
# Installs the built library into a temporary prefix and builds a small C
# program against it three ways: find_package, pkg-config, static archive.
set -euo pipefail
build=$1 here=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

cmake -S "$here/consumer" -B "$prefix/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer" >/dev/null
env -u VARDA_SIMD "$prefix/consumer/consumer"

libdir=$(dirname "$(find "$prefix" -name libvarda_kernels.so | head -n 1)")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c99 -Wall -Werror "$here/consumer/consumer.c" $(pkg-config --cflags --libs varda_kernels) \
  -o "$prefix/pc_consumer"
env -u VARDA_SIMD LD_LIBRARY_PATH="$libdir" "$prefix/pc_consumer"

cc -std=c99 "$here/consumer/consumer.c" $(pkg-config --cflags varda_kernels) \
  "$libdir/libvarda_kernels.a" $(pkg-config --static --libs-only-other --libs-only-l varda_kernels | sed 's/-lvarda_kernels//') \
  -o "$prefix/static_consumer"
env -u VARDA_SIMD "$prefix/static_consumer"
echo "installed package builds and runs"
