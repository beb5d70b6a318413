# Cross build for 64-bit RISC-V (Debian riscv64) Linux with Debian's riscv64-linux-gnu compilers, run under
# qemu-riscv64-static. cmake -S . -B build/cross-riscv64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-riscv64.cmake
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(VELK_LINUX_TRIPLE riscv64-linux-gnu)
set(VELK_QEMU_ARCH riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-common.cmake)
