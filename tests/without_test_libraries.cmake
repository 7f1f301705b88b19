# Configures the project as if GoogleTest and Google Benchmark were not installed, builds the
# program and runs it: cmake -DSOURCE_DIR=... -DBUILD_DIR=... -P without_test_libraries.cmake
file(REMOVE_RECURSE "${BUILD_DIR}")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${BUILD_DIR}"
                -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
                RESULT_VARIABLE configured OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring without the test libraries failed:\n${out}${err}")
endif()
if(NOT out MATCHES "velto: building the program without benchmarks \\(Google Benchmark not found\\), tests \\(GoogleTest not found\\)")
  message(FATAL_ERROR "configuring did not say what it left out:\n${out}")
endif()
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
