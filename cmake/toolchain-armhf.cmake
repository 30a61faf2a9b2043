# Cross-build for 32-bit ARM Linux (armhf) with Debian's cross toolchain and
# the multiarch armhf packages:
#   dpkg --add-architecture armhf && apt-get update
#   apt-get install g++-arm-linux-gnueabihf libjsoncpp-dev:armhf \
#     libgtest-dev:armhf libc6:armhf qemu-user
# Usage: cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(HAC_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE ${HAC_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${HAC_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${HAC_CROSS_TRIPLET}-g++)
find_program(CMAKE_NM NAMES ${HAC_CROSS_TRIPLET}-nm REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${HAC_CROSS_TRIPLET}-objdump)

# Multiarch: the armhf libraries live beside the host's under /usr, so there
# is no sysroot; only pkg-config and package configs must not see the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${HAC_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(GTest_DIR /usr/lib/${HAC_CROSS_TRIPLET}/cmake/GTest CACHE PATH "GoogleTest package of the armhf build")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Tests run under user-mode emulation. "-L /" makes the armhf binaries load
# the multiarch C library of libc6:armhf; the cross toolchain's own copy under
# /usr/arm-linux-gnueabihf mixed with it crashes every thread and fork.
find_program(HAC_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(HAC_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HAC_QEMU_ARM} -L /)
endif()
