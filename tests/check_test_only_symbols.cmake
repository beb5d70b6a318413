# Fails when a shipped library holds any of the test-only code: the simulated
# device, the fault shim or the setDevice() hook, which live in the test-only
# library velk32_testing. Reads every symbol the file keeps (local ones too)
# with the platform's nm, demangled. So that a stripped or unreadable file
# cannot pass unseen, the symbol table must show the library's own device
# (platformDevice) as well.
# Run with: cmake -DNM=... -DLIB=... -P check_test_only_symbols.cmake
cmake_minimum_required(VERSION 3.20)
execute_process(COMMAND ${NM} -C ${LIB} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} -C failed on ${LIB}: ${err}")
endif()
if(NOT out MATCHES "velk::platformDevice")
  message(FATAL_ERROR "${LIB}: no velk::platformDevice in its symbol table; cannot tell what it holds")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(found "")
foreach(line IN LISTS lines)
  if(line MATCHES "velk::(SimDevice|FaultShim|setDevice)")
    list(APPEND found "${line}")
  endif()
endforeach()
if(found)
  list(LENGTH found n)
  list(SUBLIST found 0 10 first)
  string(REPLACE ";" "\n  " first "${first}")
  message(FATAL_ERROR "${LIB} holds ${n} test-only symbols, among them:\n  ${first}")
endif()
message(STATUS "${LIB}: no test-only symbol")
