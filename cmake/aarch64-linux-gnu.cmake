# Cross build for 64-bit Arm with Debian's cross compiler; the tests run
# under qemu's user-mode emulator against the target's own libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VARDA_TARGET_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VARDA_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VARDA_TARGET_TRIPLE}-g++)
# The cross sysroot, and / for Debian's multiarch packages of the target
# (libzstd-dev:arm64 installs into /usr/lib/aarch64-linux-gnu), which
# pkg-config finds through their own .pc files.
set(CMAKE_FIND_ROOT_PATH /usr/${VARDA_TARGET_TRIPLE} /)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VARDA_TARGET_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tests run on Debian's arm64 runtime (libc6, libstdc++6 and the codec's
# libraries from the multiarch packages), which the host's loader cache
# lists: one C library and its own loader, never the sysroot's loader with
# the multiarch C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
