# The reference made by Doxygen from the public headers: the HTML pages and
# one section 3 man page per function, result code group and constant group,
# with velk32(3) as the overview (docs/velk32.dox.in). `cmake --build . --target
# docs` makes it (and every build does when doxygen is found); its warnings
# are kept in docs/warnings.log, which the test command requires to be empty.
# Installed: the man pages (gzipped, aliases as symbolic links) in man3, the
# HTML and the guides of docs/ in the documentation folder (doc/ in the
# Windows zips).
find_program(VELK_DOXYGEN doxygen NO_CMAKE_FIND_ROOT_PATH)
option(VELK_DOCS "Build and install the reference (HTML and man pages; needs doxygen)" ON)
if(NOT VELK_DOCS)
  return()
endif()
if(NOT VELK_DOXYGEN)
  message(STATUS "doxygen not found: the reference (HTML, man pages) is not built or installed")
  return()
endif()

if(WIN32)
  set(velk_doc_dest doc)
  set(VELK_DOCS_WHERE " (in the doc folder)")
else()
  set(velk_doc_dest ${CMAKE_INSTALL_DOCDIR})
  set(VELK_DOCS_WHERE " (in ${CMAKE_INSTALL_FULL_DOCDIR})")
endif()
set(VELK_DOCS_OUT ${PROJECT_BINARY_DIR}/docs)
configure_file(${PROJECT_SOURCE_DIR}/docs/velk32.dox.in ${VELK_DOCS_OUT}/velk32.dox @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${VELK_DOCS_OUT}/Doxyfile @ONLY)
# The configured page is what Doxygen reads.
file(READ ${VELK_DOCS_OUT}/Doxyfile velk_doxyfile)
string(REPLACE "${PROJECT_SOURCE_DIR}/docs/velk32.dox" "${VELK_DOCS_OUT}/velk32.dox" velk_doxyfile
       "${velk_doxyfile}")
file(WRITE ${VELK_DOCS_OUT}/Doxyfile "${velk_doxyfile}")

set(velk_docs_stamp ${VELK_DOCS_OUT}/docs.stamp)
add_custom_command(OUTPUT ${velk_docs_stamp}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${VELK_DOCS_OUT}/html ${VELK_DOCS_OUT}/man ${VELK_DOCS_OUT}/man3
  COMMAND ${VELK_DOXYGEN} ${VELK_DOCS_OUT}/Doxyfile
  COMMAND ${CMAKE_COMMAND} -DIN=${VELK_DOCS_OUT}/man/man3 -DOUT=${VELK_DOCS_OUT}/man3
          -P ${PROJECT_SOURCE_DIR}/cmake/docs-man.cmake
  COMMAND ${CMAKE_COMMAND} -E touch ${velk_docs_stamp}
  DEPENDS ${PROJECT_SOURCE_DIR}/include/velk32.h ${PROJECT_SOURCE_DIR}/include/velk32_posix.h
          ${VELK_DOCS_OUT}/velk32.dox ${VELK_DOCS_OUT}/Doxyfile ${PROJECT_SOURCE_DIR}/cmake/docs-man.cmake
  WORKING_DIRECTORY ${VELK_DOCS_OUT}
  COMMENT "The reference: HTML and man pages (doxygen)")
add_custom_target(docs ALL DEPENDS ${velk_docs_stamp})

install(DIRECTORY ${VELK_DOCS_OUT}/html/ DESTINATION ${velk_doc_dest}/html)
file(GLOB velk_guides ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${velk_guides} DESTINATION ${velk_doc_dest})
if(NOT WIN32)
  install(DIRECTORY ${VELK_DOCS_OUT}/man3/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
endif()
