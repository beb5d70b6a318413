# Packages made by CPack from the install rules (cmake/install.cmake), with
# stripped binaries, named with the version and the architecture:
#   Linux:   velk32_<version>-1_<arch>.deb (dependencies from the binaries,
#            by dpkg-shlibdeps) and velk32-<version>-linux-<arch>.tar.gz;
#   Windows: velk32-<version>-windows-<arch>.zip (cross builds).
# Run `cpack` in the build folder (`cpack -G DEB` for one kind only).
set(CPACK_PACKAGE_NAME velk32)
set(CPACK_PACKAGE_VENDOR "velk32")
set(VELK_PACKAGE_CONTACT "velk32 maintainers <maintainers@velk32.example.org>" CACHE STRING
  "Maintainer of the packages (name <address>)")
set(CPACK_PACKAGE_CONTACT "${VELK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial-port library with the Sio C interface")
set(CPACK_PACKAGE_DESCRIPTION
  "velk32 drives serial ports (COM1 to COM9) through 25 plain C functions:
open and close, send and receive bytes, line settings, flow control, modem
lines and status. The package holds the shared library, its headers, the
CMake package and pkg-config file for building against it, and velkcom, a
command-line tool that probes ports, tests them with a loopback plug and
acts as a terminal.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_OUTPUT_FILE_PREFIX packages)

string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" velk_arch)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(velk_arch i686)
  else()
    set(velk_arch x86_64)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME velk32-${PROJECT_VERSION}-windows-${velk_arch})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}" velk_system)
  set(CPACK_GENERATOR "DEB;TGZ")
  set(CPACK_PACKAGE_FILE_NAME velk32-${PROJECT_VERSION}-${velk_system}-${velk_arch})

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # A shlibs file and the ldconfig trigger for libvelk32.so.2.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/triggers)
  # Debian keeps a package's change log beside its license (cmake/install.cmake).
  set(velk_changelog ${PROJECT_BINARY_DIR}/debian/changelog.Debian)
  string(TIMESTAMP velk_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${velk_changelog}
"velk32 (${PROJECT_VERSION}-1) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${CPACK_PACKAGE_CONTACT}  ${velk_date}
")
  find_program(VELK_GZIP gzip)
  if(VELK_GZIP)
    execute_process(COMMAND ${VELK_GZIP} -9nf ${velk_changelog})
    install(FILES ${velk_changelog}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
endif()

include(CPack)
