# Installs the build into a scratch prefix and checks what lands there:
#     cmake -DBUILD_DIR=... -DPREFIX=... -P install_check.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE installed OUTPUT_QUIET)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${installed}")
endif()
foreach(path bin/velto share/doc/velto/copyright)
  if(NOT EXISTS "${PREFIX}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
if(NOT EXISTS "${PREFIX}/share/man/man1/velto.1.gz" AND NOT EXISTS "${PREFIX}/share/man/man1/velto.1")
  message(FATAL_ERROR "not installed: the man page")
endif()
# The installed program runs: with no arguments it prints its usage and fails.
execute_process(COMMAND "${PREFIX}/bin/velto" RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 255 OR NOT out STREQUAL "" OR err STREQUAL "")
  message(FATAL_ERROR "installed velto misbehaves: status ${status}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
