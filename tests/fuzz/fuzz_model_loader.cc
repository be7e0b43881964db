// Arbitrary bytes as a model file: loaded from disk, handed to the
// classifier (which verifies the buffer, allocates the tensors in its 4096
// bytes and checks the 150-in, 2-out contract), fed a window of samples with
// inferences, and destroyed. The same bytes, once they pass the verifier, also
// go straight to an interpreter with a roomier arena and whatever inputs and
// outputs they declare, so that models of other shapes reach the kernels too.
// LeakSanitizer checks after every input that nothing was left behind.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tumblix/ml/fall_classifier.h"
#include "tumblix/ml/runtime/tflite_micro.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Real motion, sensor extremes and values no sensor gives.
const float kSamples[][6] = {
    {0.0f, -1.0f, 0.0f, 0.0f, 0.0f, 0.0f},
    {3.99f, -4.0f, 2.5f, 2000.0f, -2000.0f, 15.5f},
    {-0.0f, 1e-40f, -1e30f, 1e30f, 0.5f, -0.25f},
    {std::numeric_limits<float>::infinity(), 0.0f, std::numeric_limits<float>::quiet_NaN(), 0.0f,
     -std::numeric_limits<float>::infinity(), 1.0f},
};
constexpr int kSampleKinds = sizeof(kSamples) / sizeof(kSamples[0]);

void RunClassifier(const std::string& path, size_t size) {
  FallClassifierConfig config;
  ml_tumblix_default_config(&config);
  if (ml_tumblix_load_model(&config, path.c_str()) != 0) {
    Check(config.model_data == nullptr && config.model_size == 0);
    return;
  }
  Check(config.model_data != nullptr && static_cast<size_t>(config.model_size) == size);

  auto classifier = std::make_unique<FallClassifier>();
  // Create owns the buffer from here on, whether it succeeds or not.
  if (ml_tumblix_create(classifier.get(), &config) == nullptr) return;
  Check(classifier->input != nullptr && classifier->output != nullptr);
  Check(ml_tumblix_score(classifier.get(), 0) == 0.0f && ml_tumblix_score(classifier.get(), 1) == 0.0f);
  for (int n = 0; n < 40; ++n) {
    const int kind = n < 30 ? n % 2 : n % kSampleKinds;
    ml_tumblix_feed(classifier.get(), kSamples[kind], n >= 24);
    ml_tumblix_score(classifier.get(), 0);
    ml_tumblix_score(classifier.get(), 1);
  }
  Check(classifier->window_pos == 40 % kClassifierWindowRows);
  Check(classifier->interpreter->arena_used_bytes() <= static_cast<size_t>(kClassifierArenaSize));
  ml_tumblix_destroy(classifier.get());
}

void FillTensor(TfLiteTensor* tensor, int round) {
  if (tensor == nullptr || tensor->data.raw == nullptr) return;
  if (tensor->type == kTfLiteFloat32) {
    const size_t count = tensor->bytes / sizeof(float);
    for (size_t i = 0; i < count; ++i) tensor->data.f[i] = kSamples[round % kSampleKinds][i % 6];
  } else if (tensor->type == kTfLiteInt32) {
    const size_t count = tensor->bytes / sizeof(int32_t);
    for (size_t i = 0; i < count; ++i) tensor->data.i32[i] = static_cast<int32_t>(i) - 1;
  }
}

void RunInterpreter(const uint8_t* data, size_t size) {
  if (size < 8 || !flatbuffers::BufferHasIdentifier(data, tflite::ModelIdentifier())) return;
  flatbuffers::Verifier verifier(data, size);
  if (!tflite::VerifyModelBuffer(verifier)) return;

  // The interpreter reads constants in place, so the copy keeps the
  // alignment the file was written for.
  std::unique_ptr<uint64_t[]> aligned(new uint64_t[(size + 7) / 8]);
  std::memcpy(aligned.get(), data, size);
  const tflite::Model* model = tflite::GetModel(aligned.get());

  constexpr size_t kArenaSize = 64 * 1024;
  std::unique_ptr<uint8_t[]> arena(new uint8_t[kArenaSize]);
  tflite::MicroErrorReporter reporter;
  tflite::MicroMutableOpResolver<4> resolver;
  resolver.AddFullyConnected();
  resolver.AddReshape();
  resolver.AddSoftmax();
  resolver.AddLogistic();
  tflite::MicroInterpreter interpreter(model, resolver, arena.get(), kArenaSize, &reporter);
  if (interpreter.AllocateTensors() != kTfLiteOk) {
    Check(interpreter.input(0) == nullptr && interpreter.Invoke() != kTfLiteOk);
    return;
  }
  Check(interpreter.arena_used_bytes() <= kArenaSize);
  for (int round = 0; round < kSampleKinds; ++round) {
    for (size_t i = 0; i < interpreter.inputs_size(); ++i) FillTensor(interpreter.input(i), round);
    interpreter.Invoke();
    for (size_t i = 0; i < interpreter.outputs_size(); ++i) {
      const TfLiteTensor* out = interpreter.output(i);
      Check(out != nullptr);
      // Read every output byte, so that a tensor planned outside the arena
      // shows.
      volatile uint8_t sink = 0;
      for (size_t b = 0; b < out->bytes; ++b) sink ^= reinterpret_cast<const uint8_t*>(out->data.raw)[b];
      (void)sink;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz_support::WriteScratchFile("model.tflite", data, size);
  RunClassifier(path, size);
  RunInterpreter(data, size);
  return 0;
}
