#!/usr/bin/env bash
# Installs the built library into a temporary prefix and builds a small C
# program against it every way the README shows: find_package, pkg-config
# (run with LD_LIBRARY_PATH and with an rpath), static archive.
# For a cross build, CC names the target's C compiler, VARDA_TOOLCHAIN the
# CMake toolchain file and VARDA_RUN the emulator that runs the programs.
set -euo pipefail
build=$1 here=$2
cc=${CC:-cc}
read -r -a run <<<"${VARDA_RUN:-}"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

# A cross build searches packages only below the target's root, so it is
# pointed at the installed package directly.
cross=()
if [ -n "${VARDA_TOOLCHAIN:-}" ]; then
  config=$(find "$prefix" -name varda_kernels-config.cmake | head -n 1)
  cross=(-DCMAKE_TOOLCHAIN_FILE="$VARDA_TOOLCHAIN" -Dvarda_kernels_DIR="$(dirname "$config")")
fi
cmake -S "$here/consumer" -B "$prefix/consumer" "${cross[@]}" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer" >/dev/null
env -u VARDA_SIMD "${run[@]}" "$prefix/consumer/consumer"

libdir=$(dirname "$(find "$prefix" -name libvarda_kernels.so | head -n 1)")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
"$cc" -std=c99 -Wall -Werror "$here/consumer/consumer.c" $(pkg-config --cflags --libs varda_kernels) \
  -o "$prefix/pc_consumer"
env -u VARDA_SIMD LD_LIBRARY_PATH="$(pkg-config --variable=libdir varda_kernels)" \
  "${run[@]}" "$prefix/pc_consumer"
"$cc" -std=c99 "$here/consumer/consumer.c" $(pkg-config --cflags --libs varda_kernels) \
  -Wl,-rpath,"$(pkg-config --variable=libdir varda_kernels)" -o "$prefix/rpath_consumer"
env -u VARDA_SIMD -u LD_LIBRARY_PATH "${run[@]}" "$prefix/rpath_consumer"

"$cc" -std=c99 "$here/consumer/consumer.c" $(pkg-config --cflags varda_kernels) \
  "$libdir/libvarda_kernels.a" $(pkg-config --static --libs-only-other --libs-only-l varda_kernels | sed 's/-lvarda_kernels//') \
  -o "$prefix/static_consumer"
env -u VARDA_SIMD "${run[@]}" "$prefix/static_consumer"
echo "installed package builds and runs"
