# tumblebench_gen: a deterministic synthetic data set in the KFall layout (or
# the device format) for the demo run and the end-to-end tests. Built next to
# tumblebench so scripts and tests find it beside the program they drive.
add_executable(tumblebench_gen
  ${CMAKE_CURRENT_LIST_DIR}/gen_dataset/activity_scripts.cc
  ${CMAKE_CURRENT_LIST_DIR}/gen_dataset/body_disturbance.cc
  ${CMAKE_CURRENT_LIST_DIR}/gen_dataset/body_track.cc
  ${CMAKE_CURRENT_LIST_DIR}/gen_dataset/dataset_writer.cc
  ${CMAKE_CURRENT_LIST_DIR}/gen_dataset/fall_motion.cc
  ${CMAKE_CURRENT_LIST_DIR}/gen_dataset/gait.cc
  ${CMAKE_CURRENT_LIST_DIR}/gen_dataset/gen_options.cc
  ${CMAKE_CURRENT_LIST_DIR}/gen_dataset/main.cc
  ${CMAKE_CURRENT_LIST_DIR}/gen_dataset/random_stream.cc
  ${CMAKE_CURRENT_LIST_DIR}/gen_dataset/rotation.cc
  ${CMAKE_CURRENT_LIST_DIR}/gen_dataset/sensor_model.cc
  ${CMAKE_CURRENT_LIST_DIR}/gen_dataset/subject_profile.cc)
# The task names the label files carry; the generator needs nothing else
# of the harness, so it builds whatever state the detector is in.
target_link_libraries(tumblebench_gen PRIVATE kfall_tasks)
set_target_properties(tumblebench_gen PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:tumblebench>)

# The end-to-end tests run the generator, so building them builds it. The
# test target is defined after this file is read; the dependency is added
# once the whole project has been configured.
function(tumblebench_gen_test_dependency)
  if(TARGET tumblebench_tests)
    add_dependencies(tumblebench_tests tumblebench_gen tumblebench)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tumblebench_gen_test_dependency)
