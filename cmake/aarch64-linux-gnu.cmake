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

# The host's loader cache also lists the arm64 C library that the multiarch
# packages bring along; the sysroot's loader must find its own first, or a
# loader and a C library of two builds meet (and threads hang).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${VARDA_TARGET_TRIPLE}
  -E LD_LIBRARY_PATH=/usr/${VARDA_TARGET_TRIPLE}/lib)
