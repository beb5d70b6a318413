# Cross build for 32-bit x86 (Debian i386) Linux with Debian's i686-linux-gnu compilers, run under
# qemu-i386-static. cmake -S . -B build/cross-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELK_LINUX_TRIPLE i686-linux-gnu)
set(VELK_QEMU_ARCH i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-common.cmake)
