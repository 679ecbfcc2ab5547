# Cross build for the target servers (aarch64-linux-gnu) with Debian's cross
# compiler; the results run here under qemu-user.
#
#   cmake -S . -B build-arm64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake \
#         -DCMAKE_PREFIX_PATH=<prefix holding GoogleTest built for aarch64>
#
# The daemon alone needs no prefix: -DQUELVAR_BUILD_TESTS=OFF.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(QUELVAR_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${QUELVAR_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QUELVAR_CROSS_TRIPLE}-g++)

# Debian installs the target's libc and libstdc++ here (libc6-dev-arm64-cross).
set(QUELVAR_TARGET_SYSROOT /usr/${QUELVAR_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${QUELVAR_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Package configs (GoogleTest built for the target) come from a prefix the
# caller names in CMAKE_PREFIX_PATH, outside the sysroot. The host's own
# GoogleTest cannot be picked up by mistake: its config lives under
# lib/x86_64-linux-gnu, which a search for this library architecture skips,
# and its libraries lie outside the sysroot that library searches are held to.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Runs target binaries: ctest, and gtest_discover_tests when it lists a test
# binary's cases after the build. The loader and shared libraries are the
# cross ones, since no arm64 root file system exists on this machine.
find_program(QUELVAR_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(QUELVAR_QEMU_AARCH64)
  # The cross loader must find the cross libc beside it: a host that also
  # has Debian's multiarch libc6:arm64 (for example after building the arm64
  # package) would otherwise hand it that libc, of another build, and the
  # first fork or thread then hangs inside the mismatched pair.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUELVAR_QEMU_AARCH64} -L ${QUELVAR_TARGET_SYSROOT}
      -E LD_LIBRARY_PATH=${QUELVAR_TARGET_SYSROOT}/lib)
endif()
