// score_windows: the classifier's two scores for many model inputs at once,
// exactly as the detector would read them. Training scores candidate models
// on held-out recordings with it: the decision rules compare the down score
// with fixed thresholds, so a score that is off in its last bit can move a
// detection, and only the project's own classifier gives the detector's bits.
//
//   score_windows MODEL.tflite INPUTS.f32 OUTPUTS.f32
//
// INPUTS.f32 holds whole windows of 150 little-endian float32 values each
// (25 samples x 6 channels, oldest first, acceleration in g x 500, angular
// rate in deg/s: the classifier's input tensor). OUTPUTS.f32 receives two
// float32 values per window, normal then down. The model is loaded and
// checked as TUMBLIX_MODEL would be; each window is copied into the input
// tensor and run, as a feed with inference does after filling its window.
// Progress goes nowhere; errors go to standard error with exit status 1,
// usage errors with 2.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tumblix/ml/fall_classifier.h"
#include "tumblix/ml/runtime/tflite_micro.h"

namespace {

constexpr int kInputFloats = kClassifierWindowRows * kClassifierChannels;
constexpr int kOutputFloats = 2;
// Windows read and scored per pass: bounded memory for any input size.
constexpr size_t kWindowsPerPass = 4096;

int Fail(const char* what, const char* path) {
  std::fprintf(stderr, "score_windows: %s: %s\n", path, what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: score_windows MODEL.tflite INPUTS.f32 OUTPUTS.f32\n");
    return 2;
  }
  const char* model_path = argv[1];
  const char* inputs_path = argv[2];
  const char* outputs_path = argv[3];

  FallClassifierConfig config;
  ml_tumblix_default_config(&config);
  if (ml_tumblix_load_model(&config, model_path) != 0) return Fail("not read", model_path);
  char reason[256] = "";
  if (ml_tumblix_check_model(config.model_data, config.model_size, reason, sizeof(reason)) != 0) {
    std::free(config.model_data);
    return Fail(reason, model_path);
  }
  // The classifier holds pointers into its own arena: it stays here.
  static FallClassifier classifier;
  if (ml_tumblix_create(&classifier, &config) == nullptr) return Fail("not usable", model_path);

  std::FILE* in = std::fopen(inputs_path, "rb");
  if (in == nullptr) {
    ml_tumblix_destroy(&classifier);
    return Fail(std::strerror(errno), inputs_path);
  }
  std::FILE* out = std::fopen(outputs_path, "wb");
  if (out == nullptr) {
    std::fclose(in);
    ml_tumblix_destroy(&classifier);
    return Fail(std::strerror(errno), outputs_path);
  }

  int status = 0;
  std::vector<float> inputs(kWindowsPerPass * kInputFloats);
  std::vector<float> outputs(kWindowsPerPass * kOutputFloats);
  for (;;) {
    const size_t floats = std::fread(inputs.data(), sizeof(float), inputs.size(), in);
    if (floats % kInputFloats != 0) {
      status = Fail("length is not a whole number of 150-float windows", inputs_path);
      break;
    }
    const size_t windows = floats / kInputFloats;
    for (size_t w = 0; w < windows; ++w) {
      std::memcpy(classifier.input->data.f, &inputs[w * kInputFloats], kInputFloats * sizeof(float));
      if (classifier.interpreter->Invoke() != kTfLiteOk) {
        status = Fail("an inference failed", model_path);
        break;
      }
      outputs[w * kOutputFloats] = ml_tumblix_score(&classifier, 0);
      outputs[w * kOutputFloats + 1] = ml_tumblix_score(&classifier, 1);
    }
    if (status != 0) break;
    if (std::fwrite(outputs.data(), sizeof(float), windows * kOutputFloats, out) != windows * kOutputFloats) {
      status = Fail("not written completely", outputs_path);
      break;
    }
    if (floats < inputs.size()) {
      if (std::ferror(in)) status = Fail("read error", inputs_path);
      break;
    }
  }
  std::fclose(in);
  if (std::fclose(out) != 0 && status == 0) status = Fail("not written completely", outputs_path);
  ml_tumblix_destroy(&classifier);
  return status;
}
