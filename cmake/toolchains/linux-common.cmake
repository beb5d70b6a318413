# Shared part of the Linux cross toolchains (included by the per-target
# files, which set VELK_LINUX_TRIPLE, CMAKE_SYSTEM_PROCESSOR and
# VELK_QEMU_ARCH first): Debian's cross compilers, their target's C library
# and libstdc++ under /usr/<triplet>, and qemu-user to run what is built.
#   -DVELK_GTEST_ROOT=<dir>   where GoogleTest for the target is installed
#                             (scripts/cross-build.sh builds it there)
#   -DVELK_CROSS_EMULATOR=OFF run the programs natively (i686 on a kernel
#                             that runs 32-bit programs)
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${VELK_LINUX_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELK_LINUX_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${VELK_LINUX_TRIPLE})
if(VELK_GTEST_ROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VELK_GTEST_ROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest, GoogleTest's discovery and the tests that start one of the built
# programs run it through qemu-user, which finds the target's loader and
# shared libraries under -L. Nothing is registered with binfmt_misc.
if(NOT DEFINED VELK_CROSS_EMULATOR OR VELK_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-${VELK_QEMU_ARCH}-static -L /usr/${VELK_LINUX_TRIPLE})
else()
  set(VELK_TARGET_RUNS_HERE ON)
endif()
