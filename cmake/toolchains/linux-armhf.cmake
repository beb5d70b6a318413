# Cross build for 32-bit ARM with hardware floating point (Debian armhf) Linux with Debian's arm-linux-gnueabihf compilers, run under
# qemu-arm-static. cmake -S . -B build/cross-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VELK_LINUX_TRIPLE arm-linux-gnueabihf)
set(VELK_QEMU_ARCH arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-common.cmake)
