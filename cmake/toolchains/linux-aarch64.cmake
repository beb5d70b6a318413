# Cross build for 64-bit ARM (Debian arm64) Linux with Debian's aarch64-linux-gnu compilers, run under
# qemu-aarch64-static. cmake -S . -B build/cross-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-aarch64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELK_LINUX_TRIPLE aarch64-linux-gnu)
set(VELK_QEMU_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-common.cmake)
