// Cost of the classifier: a feed with and without inference, the
// interpreter's forward pass alone, and the same network as plain loops for
// comparison.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "tumblix/ml/fall_classifier.h"
#include "tumblix/ml/fall_model.h"
#include "tumblix/ml/runtime/tflite_micro.h"

namespace {

struct ClassifierFixture {
  ClassifierFixture() {
    FallClassifierConfig config;
    ml_tumblix_default_config(&config);
    ok = ml_tumblix_create(&classifier, &config) == &classifier;
    std::mt19937 random(11);
    std::normal_distribution<float> acc(0.0f, 0.6f), gyro(0.0f, 80.0f);
    for (auto& s : samples) {
      s[0] = acc(random);
      s[1] = acc(random) - 1.0f;
      s[2] = acc(random);
      s[3] = gyro(random);
      s[4] = gyro(random);
      s[5] = gyro(random);
    }
    for (int n = 0; ok && n < 25; ++n) ml_tumblix_feed(&classifier, samples[n], 0);
  }
  ~ClassifierFixture() {
    if (ok) ml_tumblix_destroy(&classifier);
  }
  FallClassifier classifier;
  float samples[64][6];
  bool ok;
};

void BM_FeedWithInference(benchmark::State& state) {
  auto fixture = std::make_unique<ClassifierFixture>();
  if (!fixture->ok) {
    state.SkipWithError("classifier could not be created");
    return;
  }
  int n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ml_tumblix_feed(&fixture->classifier, fixture->samples[n & 63], 1));
    benchmark::DoNotOptimize(ml_tumblix_score(&fixture->classifier, 1));
    ++n;
  }
}
BENCHMARK(BM_FeedWithInference);

void BM_FeedWithoutInference(benchmark::State& state) {
  auto fixture = std::make_unique<ClassifierFixture>();
  if (!fixture->ok) {
    state.SkipWithError("classifier could not be created");
    return;
  }
  int n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ml_tumblix_feed(&fixture->classifier, fixture->samples[n & 63], 0));
    benchmark::ClobberMemory();
    ++n;
  }
}
BENCHMARK(BM_FeedWithoutInference);

void BM_InterpreterInvoke(benchmark::State& state) {
  auto fixture = std::make_unique<ClassifierFixture>();
  if (!fixture->ok) {
    state.SkipWithError("classifier could not be created");
    return;
  }
  tflite::MicroInterpreter* interpreter = fixture->classifier.interpreter;
  for (auto _ : state) {
    // The input is refilled because the runtime may reuse its bytes for
    // later tensors of the pass.
    std::memcpy(fixture->classifier.input->data.f, fixture->samples, 150 * sizeof(float));
    benchmark::DoNotOptimize(interpreter->Invoke());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_InterpreterInvoke);

// The built-in model's dense layers, taken from the interpreter's constant
// tensors, run as textbook loops: one output at a time, then the logistic.
struct PlainNetwork {
  struct Layer {
    const float* weights;
    const float* bias;
    int units;
    int depth;
    bool relu;
  };
  std::vector<Layer> layers;

  explicit PlainNetwork(tflite::MicroInterpreter* interpreter) {
    const tflite::Model* model = tflite::GetModel(fall_model);
    const tflite::SubGraph* graph = model->subgraphs()->Get(0);
    for (const tflite::Operator* op : *graph->operators()) {
      const tflite::OperatorCode* code = model->operator_codes()->Get(op->opcode_index());
      if (std::max<int>(code->deprecated_builtin_code(), code->builtin_code()) !=
          tflite::BuiltinOperator_FULLY_CONNECTED) {
        continue;
      }
      const TfLiteTensor* w = interpreter->tensor(op->inputs()->Get(1));
      const TfLiteTensor* b = interpreter->tensor(op->inputs()->Get(2));
      const auto* options = op->builtin_options_as_FullyConnectedOptions();
      layers.push_back({w->data.f, b->data.f, w->dims->data[0], w->dims->data[1],
                        options != nullptr &&
                            options->fused_activation_function() == tflite::ActivationFunctionType_RELU});
    }
  }

  void Run(const float* input, float* output) const {
    float a[1024], b[1024];
    std::memcpy(a, input, 150 * sizeof(float));
    float* in = a;
    float* out = b;
    int width = 150;
    for (const Layer& layer : layers) {
      for (int o = 0; o < layer.units; ++o) {
        float total = 0.0f;
        for (int d = 0; d < layer.depth; ++d) total += in[d] * layer.weights[o * layer.depth + d];
        total += layer.bias[o];
        out[o] = layer.relu && total < 0.0f ? 0.0f : total;
      }
      width = layer.units;
      std::swap(in, out);
    }
    for (int o = 0; o < width; ++o) output[o] = 1.0f / (1.0f + expf(-in[o]));
  }
};

void BM_PlainLoopsSameNetwork(benchmark::State& state) {
  auto fixture = std::make_unique<ClassifierFixture>();
  if (!fixture->ok) {
    state.SkipWithError("classifier could not be created");
    return;
  }
  const PlainNetwork network(fixture->classifier.interpreter);
  if (network.layers.size() != 3) {
    state.SkipWithError("the built-in model does not have three dense layers");
    return;
  }
  float output[2];
  // The comparison is only fair if both compute the same thing.
  network.Run(&fixture->samples[0][0], output);
  std::memcpy(fixture->classifier.input->data.f, fixture->samples, 150 * sizeof(float));
  fixture->classifier.interpreter->Invoke();
  if (std::memcmp(output, fixture->classifier.output->data.f, sizeof(output)) != 0) {
    state.SkipWithError("plain loops and the runtime disagree");
    return;
  }
  for (auto _ : state) {
    network.Run(&fixture->samples[0][0], output);
    benchmark::DoNotOptimize(output);
  }
}
BENCHMARK(BM_PlainLoopsSameNetwork);

}  // namespace
