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
  // A malloc'd buffer holding a TFLite model (ml_tumblix_load_model makes
  // one); nullptr selects the model carried in the program. Ownership passes
  // to the classifier at create, whether create succeeds or not: destroy, or
  // a failing create, frees it, and the caller must not.
  uint8_t* model_data;
  // Length of model_data. A model from a buffer is verified against it at
  // create (flatbuffer structure and the "TFL3" identifier) before use.
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

// Model files larger than this are refused before they are read: the
// detector's model is 26 KB, and the flash of the microcontrollers it is
// meant for holds a few MiB.
constexpr int32_t kModelFileMaxBytes = 16 << 20;

int ml_tumblix_default_config(FallClassifierConfig* config);
// Reads the whole file into a new heap buffer; the content is looked at only
// by create. -1, with a message on stdout, when the file cannot be opened
// (or is no regular file) or read, or the buffer not allocated (or the file
// is larger than kModelFileMaxBytes); a null path selects the built-in
// model.
int ml_tumblix_load_model(FallClassifierConfig* config, const char* path);
// Reads a model file as a run that is to use it needs it, and prints
// nothing: a regular file of at most kModelFileMaxBytes whose first 8 bytes
// carry the "TFL3" identifier, both checked before the rest is read. 0 with
// the bytes in config, or -1 with model_data null and the reason in
// `reason`. ml_tumblix_check_model then checks the rest.
int ml_tumblix_read_model_file(FallClassifierConfig* config, const char* path, char* reason, int reason_size);
// nullptr, after releasing everything it set up (and the model buffer),
// when the model fails verification, does not fit the arena, uses what the
// runtime cannot run, does not take 150 floats and give 2, or (a model from
// a buffer) holds a weight or bias that is not finite. The scores read 0
// until the first inference.
FallClassifier* ml_tumblix_create(FallClassifier* classifier, const FallClassifierConfig* config);
// Checks a model buffer as create would take it (the "TFL3" identifier, the
// flatbuffer's structure, what the runtime can run inside the arena, 150
// floats in and 2 out, finite weights and biases) without touching it: 0
// when create will succeed with a copy of it, -1 with the first reason the
// runtime gave in `reason`.
int ml_tumblix_check_model(const uint8_t* data, int32_t size, char* reason, int reason_size);
// sample: accX, accY, accZ (g), gyroX, gyroY, gyroZ (deg/s). Runs an
// inference when infer is nonzero; -1 when that inference failed.
int ml_tumblix_feed(FallClassifier* classifier, const float* sample, int infer);
void ml_tumblix_destroy(FallClassifier* classifier);
void ml_tumblix_print_arena(const FallClassifier* classifier);

// Score `index` (0 normal, 1 down) of the latest inference, read from the
// output tensor; 0 for any other index or a classifier without an output.
float ml_tumblix_score(const FallClassifier* classifier, int index);

#endif
