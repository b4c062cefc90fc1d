#!/usr/bin/env bash
# The pkg-config files name the folders the tree is installed to: under
# the prefix through ${prefix}, and a distribution's absolute libdir as
# it is, whatever prefix the headers go to.
set -euo pipefail
here=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
check() { # prefix libdir includedir expected-libdir expected-includedir
  cmake -DCMAKE_INSTALL_PREFIX="$1" -DVARDA_PC_LIBDIR="$2" -DVARDA_PC_INCLUDEDIR="$3" \
    -DVARDA_PC_IN="$here/../../cmake/varda_kernels.pc.in" -DVARDA_PC_OUT="$out/k.pc" \
    -DVARDA_PC_VERSION=9.9.9 -P "$here/../../cmake/write_pc.cmake"
  grep -qxF "prefix=$1" "$out/k.pc"
  grep -qxF "libdir=$4" "$out/k.pc" || { echo "libdir for $1 $2:"; cat "$out/k.pc"; exit 1; }
  grep -qxF "includedir=$5" "$out/k.pc" || { echo "includedir for $1 $3:"; cat "$out/k.pc"; exit 1; }
  PKG_CONFIG_PATH="$out" pkg-config --variable=libdir k >/dev/null
}
check /opt/varda lib include '${prefix}/lib' '${prefix}/include'
check /usr lib/x86_64-linux-gnu include '${prefix}/lib/x86_64-linux-gnu' '${prefix}/include'
check /opt/varda /usr/lib/x86_64-linux-gnu include /usr/lib/x86_64-linux-gnu '${prefix}/include'
check /opt/varda /usr/lib/x86_64-linux-gnu /usr/include /usr/lib/x86_64-linux-gnu /usr/include
check /opt/var lib include '${prefix}/lib' '${prefix}/include'
check /opt/varda /opt/varda2/lib include /opt/varda2/lib '${prefix}/include'
[ "$(PKG_CONFIG_PATH="$out" pkg-config --variable=libdir k)" = /opt/varda2/lib ]
echo "pkg-config files name the installed folders"
