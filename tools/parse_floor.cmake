# tumblebench_parse: the readers alone, as the floor of the pipeline benchmark.
add_executable(tumblebench_parse ${CMAKE_CURRENT_LIST_DIR}/parse_floor.cc)
target_link_libraries(tumblebench_parse PRIVATE harness)
set_target_properties(tumblebench_parse PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:tumblebench>)
