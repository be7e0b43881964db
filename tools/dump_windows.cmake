# dump_windows: per-sample classifier inputs and detector gate of one KFall
# trial, for training the fall model on exactly what a replay feeds it.
add_executable(dump_windows ${CMAKE_CURRENT_LIST_DIR}/dump_windows.cc)
target_link_libraries(dump_windows PRIVATE harness)
