add_executable(tflite_run ${CMAKE_CURRENT_LIST_DIR}/tflite_run.cc)
target_link_libraries(tflite_run PRIVATE fall_classifier)
