# Cross build for big-endian 64-bit IBM Z (Debian s390x) Linux with Debian's s390x-linux-gnu compilers, run under
# qemu-s390x-static. cmake -S . -B build/cross-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-s390x.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(VELK_LINUX_TRIPLE s390x-linux-gnu)
set(VELK_QEMU_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-common.cmake)
