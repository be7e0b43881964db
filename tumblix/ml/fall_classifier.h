#ifndef TUMBLIX_ML_FALL_CLASSIFIER_H
#define TUMBLIX_ML_FALL_CLASSIFIER_H

#include <cstdint>

struct TfLiteTensor;
namespace tflite {
class MicroErrorReporter;
struct Model;
template <unsigned int tOpCount>
class MicroMutableOpResolver;
class MicroInterpreter;
}  // namespace tflite

constexpr int kClassifierArenaSize = 4096;
constexpr int kClassifierWindowRows = 25;
constexpr int kClassifierChannels = 6;

struct FallClassifierConfig {
  int32_t reserved;
  // A heap buffer holding a TFLite model (ml_tumblix_load_model makes one);
  // nullptr selects the model carried in the program. Owned by the
  // classifier from create on.
  uint8_t* model_data;
  int32_t model_size;
};

struct FallClassifier {
  FallClassifierConfig config;
  tflite::MicroErrorReporter* error_reporter;
  const tflite::Model* model;
  tflite::MicroMutableOpResolver<4>* op_resolver;
  tflite::MicroInterpreter* interpreter;
  TfLiteTensor* input;
  TfLiteTensor* output;  // element 0 normal, element 1 down
  uint8_t tensor_arena[kClassifierArenaSize];
  float window[kClassifierWindowRows][kClassifierChannels];
  int32_t window_pos;
};

int ml_tumblix_default_config(FallClassifierConfig* config);
int ml_tumblix_load_model(FallClassifierConfig* config, const char* path);
FallClassifier* ml_tumblix_create(FallClassifier* classifier, const FallClassifierConfig* config);
// sample: accX, accY, accZ (g), gyroX, gyroY, gyroZ (deg/s). Runs an
// inference when infer is nonzero; -1 when that inference failed.
int ml_tumblix_feed(FallClassifier* classifier, const float* sample, int infer);
void ml_tumblix_destroy(FallClassifier* classifier);
void ml_tumblix_print_arena(const FallClassifier* classifier);

// Score `index` (0 normal, 1 down) of the latest inference.
float ml_tumblix_score(const FallClassifier* classifier, int index);

#endif
