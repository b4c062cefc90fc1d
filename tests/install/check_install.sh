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
# A cross build takes zstd and xxhash from the target's multiarch packages.
if [ -n "${VARDA_TOOLCHAIN:-}" ]; then
  export PKG_CONFIG_LIBDIR="/usr/lib/$("$cc" -dumpmachine)/pkgconfig:/usr/share/pkgconfig"
fi
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
# The tile codec, where it was built: the example program compresses a raw
# raster into tile blobs and back, linked shared and static.
if [ -f "$libdir/pkgconfig/varda_codec.pc" ]; then
  example=$here/../../examples/compress_raw.c
  "$cc" -std=c99 -Wall -Werror "$example" $(pkg-config --cflags --libs varda_codec) \
    -Wl,-rpath,"$libdir" -o "$prefix/compress_raw"
  "$cc" -std=c99 "$example" $(pkg-config --cflags varda_codec) "$libdir/libvarda_codec.a" \
    "$libdir/libvarda_kernels.a" $(pkg-config --static --libs-only-l varda_codec |
      sed 's/-lvarda_codec//; s/-lvarda_kernels//g') -o "$prefix/compress_raw_static"
  head -c $((700 * 300 * 2)) /dev/urandom >"$prefix/raster.raw"
  for tool in compress_raw compress_raw_static; do
    "${run[@]}" "$prefix/$tool" c "$prefix/raster.raw" "$prefix/raster.vrd" 700 300 1 256
    "${run[@]}" "$prefix/$tool" d "$prefix/raster.vrd" "$prefix/back.raw"
    cmp "$prefix/raster.raw" "$prefix/back.raw"
  done
  echo "the codec example round-trips a raster, shared and static"
fi
echo "installed package builds and runs"
