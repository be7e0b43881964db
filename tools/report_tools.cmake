# Companion tools that read what the harness writes (plot_trace, run_summary):
# Python, run with Debian's interpreter, whose matplotlib and numpy they use.
# Their tests replay generated recordings with the tumblebench built here.
if(TUMBLEBENCH_BUILD_TESTS)
  # tools/ is added before the top level enables testing; without this the
  # tests below would be dropped silently.
  enable_testing()
  set(REPORT_TOOLS_PYTHON /usr/bin/python3)
  if(NOT EXISTS ${REPORT_TOOLS_PYTHON})
    message(WARNING "${REPORT_TOOLS_PYTHON} not found: the report tool tests are not registered")
  else()
    set(REPORT_TOOLS_TEST_ENV
      "TUMBLEBENCH_BIN=$<TARGET_FILE:tumblebench>;TUMBLEBENCH_TOOLS=${CMAKE_SOURCE_DIR}/tools;MPLBACKEND=Agg")
    if(TARGET dump_windows)
      list(APPEND REPORT_TOOLS_TEST_ENV "TUMBLEBENCH_DUMP=$<TARGET_FILE:dump_windows>")
    endif()
    if(TARGET tumblebench_gen)
      list(APPEND REPORT_TOOLS_TEST_ENV "TUMBLEBENCH_GEN=$<TARGET_FILE:tumblebench_gen>")
    endif()
    # One test per file, so that ctest -j runs them side by side.
    file(GLOB REPORT_TOOL_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/python/test_*.py)
    foreach(test_file ${REPORT_TOOL_TESTS})
      get_filename_component(test_module ${test_file} NAME_WE)
      add_test(NAME python_${test_module}
        COMMAND ${REPORT_TOOLS_PYTHON} -m unittest -v ${test_module}
        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/python)
      set_tests_properties(python_${test_module} PROPERTIES
        ENVIRONMENT "${REPORT_TOOLS_TEST_ENV}"
        TIMEOUT 600)
    endforeach()
  endif()
endif()
