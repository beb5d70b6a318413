# Fails when a shipped library holds any of the test-only code of
# src/device/testing/ (the simulated device, the fault shim, the proxy, the
# setDevice() hook...). What is forbidden comes from that folder itself, so a
# file added there is covered without a change here:
#  - every class the folder's headers declare: no symbol of the library may
#    be one of its members (velk::Name::...), nor setDevice;
#  - where the folder's objects are built (not in the Windows cross builds,
#    whose runtime lacks what the simulated device needs), every strong
#    global definition in them (inline functions, templates and vtables that
#    headers shared with the library emit are weak, and do not count).
# Reads the symbols with the platform's nm, demangled. So that a stripped or
# unreadable file cannot pass unseen, the library's symbol table must show
# its own device (platformDevice), and the objects' must show setDevice.
# Run with: cmake -DNM=... -DLIB=... -DTESTING_DIR=src/device/testing
#   [-DTESTING_OBJECTS=a.o|b.o|...] -P check_test_only_symbols.cmake
cmake_minimum_required(VERSION 3.20)

# The names of the symbols that FILE defines, with type letters matching TYPES.
function(defined_symbols out file types)
  execute_process(COMMAND ${NM} -C --defined-only ${file}
                  OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} -C --defined-only failed on ${file}: ${err}")
  endif()
  string(REPLACE "\n" ";" lines "${text}")
  set(names "")
  foreach(line IN LISTS lines)
    # "ADDRESS TYPE NAME" (the name may hold spaces once demangled).
    if(line MATCHES "^[0-9a-fA-F]* ([A-Za-z]) (.+)$")
      set(type "${CMAKE_MATCH_1}")
      set(name "${CMAKE_MATCH_2}")
      if(type MATCHES "^[${types}]$")
        list(APPEND names "${name}")
      endif()
    endif()
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# The classes the folder's headers declare.
file(GLOB headers "${TESTING_DIR}/*.h")
set(classes "")
foreach(h IN LISTS headers)
  file(STRINGS "${h}" decls REGEX "^(class|struct) [A-Za-z_][A-Za-z0-9_]* ")
  foreach(d IN LISTS decls)
    string(REGEX REPLACE "^(class|struct) ([A-Za-z_][A-Za-z0-9_]*) .*" "\\2" name "${d}")
    list(APPEND classes "${name}")
  endforeach()
endforeach()
if(NOT "SimDevice" IN_LIST classes)
  message(FATAL_ERROR "no SimDevice among the classes of ${TESTING_DIR}/*.h; cannot tell what is test-only")
endif()
string(REPLACE ";" "|" class_alt "${classes}")

# The objects' strong definitions, where they were built. device() is the
# seam's one definition that the test-only library replaces
# (testing/device_hook.cpp for device.cpp): both builds define it.
string(REPLACE "|" ";" objects "${TESTING_OBJECTS}")
list(LENGTH objects n_objects)
set(forbidden "")
foreach(obj IN LISTS objects)
  defined_symbols(names "${obj}" "TDBR")
  list(APPEND forbidden ${names})
endforeach()
list(REMOVE_DUPLICATES forbidden)
list(REMOVE_ITEM forbidden "velk::device()")
if(n_objects GREATER 0 AND NOT "velk::setDevice(velk::DeviceApi*)" IN_LIST forbidden)
  message(FATAL_ERROR "the test-only objects do not define velk::setDevice; cannot tell what they hold")
endif()

defined_symbols(shipped "${LIB}" "A-Za-z")
if(NOT shipped MATCHES "velk::platformDevice")
  message(FATAL_ERROR "${LIB}: no velk::platformDevice in its symbol table; cannot tell what it holds")
endif()
set(found "")
foreach(name IN LISTS shipped)
  if(name IN_LIST forbidden OR name MATCHES "velk::(${class_alt})::" OR name MATCHES "velk::setDevice\\(")
    list(APPEND found "${name}")
  endif()
endforeach()
list(REMOVE_DUPLICATES found)
if(found)
  list(LENGTH found n)
  list(SUBLIST found 0 10 first)
  string(REPLACE ";" "\n  " first "${first}")
  message(FATAL_ERROR "${LIB} holds ${n} test-only symbols, among them:\n  ${first}")
endif()
list(LENGTH classes n_classes)
list(LENGTH forbidden n_forbidden)
message(STATUS "${LIB}: no member of the ${n_classes} test-only classes (${classes}), "
               "none of the ${n_forbidden} symbols of ${n_objects} test-only objects")
