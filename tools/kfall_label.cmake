# kfall_label writes a KFall subject's label files when a walk finds them
# missing. The walk puts the directory of tumblebench first on the PATH it
# hands the command, so the converter is copied next to the program.
get_target_property(KFALL_LABEL_DIR tumblebench RUNTIME_OUTPUT_DIRECTORY)
if(NOT KFALL_LABEL_DIR)
  get_target_property(KFALL_LABEL_DIR tumblebench BINARY_DIR)
endif()
add_custom_target(kfall_label ALL
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
          ${CMAKE_CURRENT_LIST_DIR}/kfall_label ${KFALL_LABEL_DIR}/kfall_label
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/kfall_label
  COMMENT "Placing kfall_label beside tumblebench"
  VERBATIM)
