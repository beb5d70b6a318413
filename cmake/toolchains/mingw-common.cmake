# Shared part of the MinGW-w64 cross toolchains (included by the per-target
# files, which set VELK_MINGW_TRIPLE first). The "-win32" compiler variants
# (Debian's win32 thread model) are used: nothing in the DLL or in velkcom.exe
# needs std::thread or std::mutex (the simulated device that does is in the
# test-only library, which the cross builds never make), so the programs carry
# no winpthread. Everything from the MinGW runtime (libgcc, libstdc++) is
# linked statically, so the DLL and the programs need no MinGW DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

set(CMAKE_C_COMPILER ${VELK_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${VELK_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${VELK_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${VELK_MINGW_TRIPLE}-dlltool CACHE FILEPATH "dlltool")
set(CMAKE_AR ${VELK_MINGW_TRIPLE}-ar CACHE FILEPATH "archiver")
set(CMAKE_RANLIB ${VELK_MINGW_TRIPLE}-ranlib CACHE FILEPATH "ranlib")

set(CMAKE_FIND_ROOT_PATH /usr/${VELK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

