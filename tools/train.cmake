# Retraining the fall model: `cmake --build BUILD --target fall_model`
# (the same as tools/train/retrain.sh) rewrites
# tumblix/ml/models/fall_model.tflite from ../shared/kfall. Not part of the
# default build: it takes minutes and needs the KFall recordings and sklearn.
add_custom_target(fall_model
  COMMAND ${CMAKE_COMMAND} -E env DUMP_WINDOWS=$<TARGET_FILE:dump_windows>
          TFLITE_RUN=$<TARGET_FILE:tflite_run>
          bash ${CMAKE_CURRENT_LIST_DIR}/train/retrain.sh ${CMAKE_SOURCE_DIR}/../shared/kfall
          ${CMAKE_BINARY_DIR}
  DEPENDS dump_windows tflite_run
  USES_TERMINAL
  COMMENT "Retraining the fall model from the KFall recordings")
