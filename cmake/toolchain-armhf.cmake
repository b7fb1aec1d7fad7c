# 32-bit ARM (armhf) cross build with Debian's cross toolchain and multiarch
# libraries; tests run under qemu-arm. Everything comes from
# `scripts/bootstrap --armhf`.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#   cmake --build build-armhf -j2 && ctest --test-dir build-armhf
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(_triplet arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${_triplet}-g++)

# Debian multiarch: armhf libraries live in /usr/lib/arm-linux-gnueabihf,
# their CMake package files in /usr/lib/arm-linux-gnueabihf/cmake, headers in
# /usr/include (shared) and /usr/include/arm-linux-gnueabihf.
set(CMAKE_LIBRARY_ARCHITECTURE ${_triplet})

# With the library architecture set, find_library/find_package look in
# <prefix>/lib/arm-linux-gnueabihf (and never in .../x86_64-linux-gnu);
# programs (pkg-config, qemu) are the build machine's own.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config answers with the armhf .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${_triplet}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# ctest runs every test binary (and gtest's test discovery) through qemu. The
# armhf loader and runtime come from the multiarch packages (/lib/ld-linux-armhf.so.3),
# the same libraries the binaries were linked against; pointing qemu at the
# cross toolchain's copies instead (-L) makes threaded programs crash.
find_program(QUILLARK_QEMU_ARM NAMES qemu-arm qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLARK_QEMU_ARM})
