# Turns Doxygen's man pages (IN) into installable ones (OUT): each page
# gzipped, each alias page (".so man3/X.3") a symbolic link to X.3.gz.
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
find_program(GZIP gzip REQUIRED)
file(GLOB pages RELATIVE ${IN} ${IN}/*.3)
foreach(page IN LISTS pages)
  file(STRINGS ${IN}/${page} first LIMIT_COUNT 1)
  if(first MATCHES "^\\.so man3/(.+)$")
    file(CREATE_LINK ${CMAKE_MATCH_1}.gz ${OUT}/${page}.gz SYMBOLIC)
  else()
    # -n: no name or time stamp inside, so the same page gives the same file.
    execute_process(COMMAND ${GZIP} -9nc ${IN}/${page} OUTPUT_FILE ${OUT}/${page}.gz RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "gzip ${page} failed")
    endif()
  endif()
endforeach()
