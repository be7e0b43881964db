# Retraining the fall model: `cmake --build BUILD --target fall_model` runs
# tools/retrain.sh with this build's tools and writes
# BUILD/fall_model.tflite from ../shared/kfall and ../shared/sisfall; the
# embedded model changes only through retrain.sh --install. Not part of the
# default build: it takes a while and needs the recordings and PyTorch.
add_custom_target(fall_model
  COMMAND ${CMAKE_COMMAND} -E env DUMP_WINDOWS=$<TARGET_FILE:dump_windows>
          SCORE_WINDOWS=$<TARGET_FILE:score_windows>
          bash ${CMAKE_CURRENT_LIST_DIR}/retrain.sh --build ${CMAKE_BINARY_DIR}
          --out ${CMAKE_BINARY_DIR}/fall_model.tflite
  DEPENDS dump_windows score_windows
  USES_TERMINAL
  COMMENT "Retraining the fall model from KFall and SisFall")
