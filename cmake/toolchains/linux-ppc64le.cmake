# Cross build for little-endian 64-bit POWER (Debian ppc64el) Linux with Debian's powerpc64le-linux-gnu compilers, run under
# qemu-ppc64le-static. cmake -S . -B build/cross-ppc64le -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-ppc64le.cmake
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(VELK_LINUX_TRIPLE powerpc64le-linux-gnu)
set(VELK_QEMU_ARCH ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/linux-common.cmake)
