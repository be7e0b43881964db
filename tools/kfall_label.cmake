# kfall_label writes a KFall subject's label files when a walk finds them
# missing. The walk puts the directory of tumblebench first on the PATH it
# hands the command, so a link to the command's launcher is placed next to
# the program; the launcher runs the checkout's tumblebench.kfall package.
get_target_property(KFALL_LABEL_DIR tumblebench RUNTIME_OUTPUT_DIRECTORY)
if(NOT KFALL_LABEL_DIR)
  get_target_property(KFALL_LABEL_DIR tumblebench BINARY_DIR)
endif()
add_custom_target(kfall_label ALL
  COMMAND ${CMAKE_COMMAND} -E create_symlink
          ${CMAKE_CURRENT_LIST_DIR}/kfall_label ${KFALL_LABEL_DIR}/kfall_label
  COMMENT "Placing kfall_label beside tumblebench"
  VERBATIM)
