# kfall_label writes a KFall subject's label files when a walk finds them
# missing. The walk puts the directory of tumblebench first on the PATH it
# hands the command, so the converter is copied next to the program.
add_custom_target(kfall_label ALL
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
          ${CMAKE_CURRENT_LIST_DIR}/kfall_label $<TARGET_FILE_DIR:tumblebench>/kfall_label
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/kfall_label
  COMMENT "Placing kfall_label beside tumblebench"
  VERBATIM)
add_dependencies(kfall_label tumblebench)
