# Installs the build into a temporary prefix and runs the installed tool on
# the examples: cmake -DBUILD=... -DPREFIX=... -DEXAMPLES=... -P install_test.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
foreach(f bin/aucatalog share/man/man1/aucatalog.1 share/doc/aucatalog/README.md)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
execute_process(COMMAND "${PREFIX}/bin/aucatalog" "${EXAMPLES}" RESULT_VARIABLE rc
                OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX MATCHALL "\n" lines "${out}")
list(LENGTH lines n)
if(NOT rc EQUAL 0 OR NOT n EQUAL 5 OR NOT err MATCHES "\n4 total files processed in")
  message(FATAL_ERROR "installed aucatalog: status ${rc}, ${n} lines\n${out}\n${err}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
