# score_windows: the classifier's exact scores for a file of model inputs,
# for scoring candidate fall models on held-out recordings.
add_executable(score_windows ${CMAKE_CURRENT_LIST_DIR}/score_windows.cc)
target_link_libraries(score_windows PRIVATE fall_classifier)
