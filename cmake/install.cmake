# Install rules: the library, its public headers, velkcom and its man page,
# the CMake package (velk32::velk32 for find_package) and velk32.pc for
# pkg-config. Nothing installed names a path of the build or of the install
# prefix: the CMake files and the .pc find the prefix from where they lie.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velk32)

# Installed binaries are stripped, as with `cmake --install --strip` (their
# debug information, which also names the build folder, stays in the build).
option(VELK_INSTALL_STRIP "Strip the installed library and programs" ON)
if(VELK_INSTALL_STRIP)
  install(CODE "set(CMAKE_INSTALL_DO_STRIP 1)")
endif()

install(TARGETS velk32 EXPORT velk32-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS velkcom RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(WIN32)
  # Beside the DLL and libvelk32.dll.a: the MSVC import library and the
  # module-definition file it was made from (without the @n suffixes on 64-bit).
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(velk_def ${PROJECT_SOURCE_DIR}/src/velk32.def)
  else()
    set(velk_def ${PROJECT_BINARY_DIR}/src/velk32.def)
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/src/velk32.lib ${velk_def}
    DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES include/velk32.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  # The texts with Windows line ends, named so that Windows opens them.
  configure_file(examples/windows/README.txt ${PROJECT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE ${PROJECT_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)
  install(FILES examples/windows/com_pair.c examples/csharp/Loopback.cs DESTINATION examples)
else()
  install(FILES include/velk32.h include/velk32_posix.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  # velkcom finds the library relative to itself wherever the tree is put; in
  # the system's own library folder it needs no search path at all.
  list(FIND CMAKE_C_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} velk_system_libdir)
  if(velk_system_libdir EQUAL -1)
    file(RELATIVE_PATH velk_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(velkcom PROPERTIES INSTALL_RPATH "$ORIGIN/${velk_bin_to_lib}")
  endif()
  # The license as Debian keeps it (/usr/share/doc/velk32/copyright).
  install(FILES cmake/debian-copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  install(FILES examples/c/loopback.c examples/c/CMakeLists.txt examples/python/loopback.py
                examples/csharp/Loopback.cs
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  # velkcom.1 from the program's own --help texts (help2man), when the
  # program can run here.
  find_program(VELK_HELP2MAN help2man)
  if(VELK_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
    set(velk_man ${PROJECT_BINARY_DIR}/velkcom.1.gz)
    add_custom_command(OUTPUT ${velk_man}
      COMMAND ${CMAKE_COMMAND} -DVELKCOM=$<TARGET_FILE:velkcom> -DHELP2MAN=${VELK_HELP2MAN}
              -DOUT=${PROJECT_BINARY_DIR}/velkcom.1 -P ${PROJECT_SOURCE_DIR}/cmake/velkcom-man.cmake
      DEPENDS velkcom ${PROJECT_SOURCE_DIR}/cmake/velkcom-man.cmake
      COMMENT "velkcom.1 from velkcom --help")
    add_custom_target(velkcom_man ALL DEPENDS ${velk_man})
    install(FILES ${velk_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  elseif(NOT CMAKE_CROSSCOMPILING)
    message(STATUS "help2man not found: velkcom.1 is not built or installed")
  endif()
endif()

# The CMake package: find_package(velk32 2.0 CONFIG) gives velk32::velk32;
# any 2.x satisfies a request for 2.0, and only a build of the same pointer
# size is taken.
install(EXPORT velk32-targets NAMESPACE velk32:: DESTINATION ${VELK_CMAKE_DIR})
configure_package_config_file(cmake/velk32-config.cmake.in
  ${PROJECT_BINARY_DIR}/velk32-config.cmake INSTALL_DESTINATION ${VELK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velk32-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velk32-config.cmake
              ${PROJECT_BINARY_DIR}/velk32-config-version.cmake
  DESTINATION ${VELK_CMAKE_DIR})

# velk32.pc: the prefix is found from the file's own folder (${pcfiledir}).
set(VELK_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH VELK_PC_TO_PREFIX /prefix/${VELK_PC_DIR} /prefix)
string(REGEX REPLACE "/$" "" VELK_PC_TO_PREFIX "${VELK_PC_TO_PREFIX}")
configure_file(cmake/velk32.pc.in ${PROJECT_BINARY_DIR}/velk32.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velk32.pc DESTINATION ${VELK_PC_DIR})
