# Makes velkcom.1.gz from the program's own texts (cmake -P, at build time):
# help2man turns `velkcom --help` and `--version` into the page, and each
# command's `velkcom COMMAND --help` becomes a subsection of COMMANDS, so the
# page follows the program as it changes.
#   cmake -DVELKCOM=<program> -DHELP2MAN=<help2man> -DOUT=<dir>/velkcom.1 -P velkcom-man.cmake
foreach(var VELKCOM HELP2MAN OUT)
  if(NOT ${var})
    message(FATAL_ERROR "velkcom-man.cmake: ${var} is not set")
  endif()
endforeach()

function(run_help out_var)
  execute_process(COMMAND ${VELKCOM} ${ARGN} --help OUTPUT_VARIABLE text RESULT_VARIABLE rc
                  TIMEOUT 30)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "velkcom ${ARGN} --help failed: ${rc}")
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# The command names: the indented first words of the lines after "commands:".
run_help(main_help)
string(REGEX REPLACE ".*\ncommands:\n" "" listing "${main_help}")
string(REGEX MATCHALL "(^|\n)  [a-z][a-z0-9-]*" names "${listing}")
set(include_text "[COMMANDS]\n")
foreach(name IN LISTS names)
  string(STRIP "${name}" name)
  run_help(text ${name})
  # Shown as it is printed: no filling, backslashes and leading dots escaped.
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(APPEND include_text ".SS ${name}\n.nf\n${text}.fi\n")
endforeach()
string(APPEND include_text
  "[SEE ALSO]\nThe velk32 library's documentation and examples: share/doc/velk32 where velk32 is\ninstalled (/usr/share/doc/velk32 from the Debian package).\n")
file(WRITE ${OUT}.h2m "${include_text}")

execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --include ${OUT}.h2m
          --name "command-line companion of the velk32 serial-port library"
          --output ${OUT} ${VELKCOM}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed: ${rc}")
endif()
execute_process(COMMAND gzip -9nf ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed: ${rc}")
endif()
