# The README's C example, taken from README.md as printed (the first ```c
# block under "## A short example"), built against the library and run: with
# no argument it must use loop:// (never the console on /dev/ttyS0) and get
# its three bytes back; with a device on its command line it must open that
# one (a missing path fails with ENOENT, 2).
# Usage: cmake -DREADME=... -DCC=... -DINCLUDE=... -DLIB=... -DWORK=... [-DCFLAGS=...] [-DEMULATOR=...]
#        -P readme_example.cmake
# (CFLAGS: the sanitizers, when the library was built with them; EMULATOR:
# the command line that runs the target's programs in a cross build)
file(READ ${README} text)
string(FIND "${text}" "## A short example" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md has no \"## A short example\" section")
endif()
string(SUBSTRING "${text}" ${at} -1 text)
string(FIND "${text}" "```c\n" start)
string(FIND "${text}" "\n```\n" end)
if(start EQUAL -1 OR end LESS start)
  message(FATAL_ERROR "no ```c block in the README's example section")
endif()
math(EXPR start "${start} + 5")
math(EXPR length "${end} + 1 - ${start}")
string(SUBSTRING "${text}" ${start} ${length} code)
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/example.c "${code}")

get_filename_component(libdir ${LIB} DIRECTORY)
separate_arguments(cflags UNIX_COMMAND "${CFLAGS}")
separate_arguments(emulator UNIX_COMMAND "${EMULATOR}")
execute_process(COMMAND ${CC} -std=c99 -Wall -Wextra -Werror ${cflags} -I${INCLUDE} ${WORK}/example.c
                        -L${libdir} -lvelk32 -Wl,-rpath,${libdir} -o ${WORK}/example
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the README's example does not build:\n${out}\n--- example.c:\n${code}")
endif()

execute_process(COMMAND ${emulator} ${WORK}/example RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out TIMEOUT 20)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "3 bytes were waiting\n")
  message(FATAL_ERROR "the README's example on its default port: exit ${rc}, printed \"${out}\" "
                      "(expected 3 bytes back from loop://)")
endif()
execute_process(COMMAND ${emulator} ${WORK}/example ${WORK}/no-such-device RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE out TIMEOUT 20)
if(NOT rc EQUAL 1 OR NOT out STREQUAL "COM1: error 2\n")
  message(FATAL_ERROR "the README's example with a missing device: exit ${rc}, printed \"${out}\" "
                      "(expected COM1: error 2)")
endif()
message(STATUS "README example: 3 bytes back on loop://; a device named on the command line is the one opened")
