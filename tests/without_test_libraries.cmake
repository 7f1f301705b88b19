# Configures the project, the benchmark asked for, as if GoogleTest and Google Benchmark were not
# installed, builds the program and runs it:
#     cmake -DSOURCE_DIR=... -DBUILD_DIR=... -P without_test_libraries.cmake
file(REMOVE_RECURSE "${BUILD_DIR}")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${BUILD_DIR}"
                -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DVELTO_BENCH=ON
                -DVELTO_REPOSITORY=https://example.org/velto-repo
                RESULT_VARIABLE configured OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring without the test libraries failed:\n${out}${err}")
endif()
if(NOT out MATCHES "velto: building the program without benchmarks \\(Google Benchmark not found\\), tests \\(GoogleTest not found\\)")
  message(FATAL_ERROR "configuring did not say what it left out:\n${out}")
endif()
# A repository given to the configuration is where both man pages send bug reports.
foreach(page man/man1/velto.1 man/ja/man1/velto.1)
  execute_process(COMMAND groff -k -Tutf8 -man -ww -P-cbou "${BUILD_DIR}/${page}" OUTPUT_VARIABLE shown ERROR_VARIABLE warnings)
  if(NOT shown MATCHES "(REPORTING BUGS|バグ報告)\n[^\n]*\n[^\n]*https://example.org/velto-repo" OR warnings)
    message(FATAL_ERROR "${page} does not send bug reports to the repository:\n${warnings}${shown}")
  endif()
endforeach()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BUILD_DIR}" -j 2 --target velto
                RESULT_VARIABLE built OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building velto without the test libraries failed:\n${err}")
endif()
execute_process(COMMAND "${BUILD_DIR}/velto" RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
if(NOT status EQUAL 255)
  message(FATAL_ERROR "velto built without the test libraries misbehaves: status ${status}")
endif()
file(REMOVE_RECURSE "${BUILD_DIR}")
