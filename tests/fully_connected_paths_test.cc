// FULLY_CONNECTED: the reference loop is the textbook sum (each output's
// products in input order, then the bias, then the clamp), and every kernel
// this processor can run gives its bits, for any shape and for the fall
// model's own layers. The kernel that Prepare chooses is also the one that
// the real runtime's reference vectors check (tflite_runtime_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tests/tflite_test_models.h"
#include "tumblix/ml/fall_classifier.h"
#include "tumblix/ml/fall_model.h"
#include "tumblix/ml/runtime/kernels/fully_connected_reference.h"
#include "tumblix/ml/runtime/kernels/fully_connected_vectorized.h"
#include "tumblix/ml/runtime/tflite_micro.h"

namespace {

using tflite::FullyConnectedParams;
using tflite_test::Bits;

std::vector<tflite::NamedFullyConnectedKernel> Kernels() {
  size_t count = 0;
  const tflite::NamedFullyConnectedKernel* kernels = tflite::FullyConnectedKernels(&count);
  return std::vector<tflite::NamedFullyConnectedKernel>(kernels, kernels + count);
}

// Runs `kernel` and compares every output with the reference's bits.
::testing::AssertionResult SameAsReference(const tflite::NamedFullyConnectedKernel& kernel,
                                           const FullyConnectedParams& p, const std::vector<float>& input,
                                           const std::vector<float>& weights, const float* bias) {
  std::vector<float> expected(static_cast<size_t>(p.batches) * p.units), got(expected.size());
  tflite::FullyConnectedReference(p, input.data(), weights.data(), bias, expected.data());
  kernel.run(p, input.data(), weights.data(), bias, got.data());
  for (size_t i = 0; i < got.size(); ++i) {
    if (Bits(got[i]) != Bits(expected[i])) {
      return ::testing::AssertionFailure() << kernel.name << ": output " << i << " is " << got[i] << ", not "
                                           << expected[i] << " (batches " << p.batches << ", units " << p.units
                                           << ", depth " << p.depth << (bias == nullptr ? ", no bias)" : ")");
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(FullyConnectedKernels, TheChosenKernelIsTheFastestListed) {
  const std::vector<tflite::NamedFullyConnectedKernel> kernels = Kernels();
  ASSERT_GE(kernels.size(), 2u);
  EXPECT_EQ(tflite::ChooseFullyConnectedKernel(), kernels.front().run);
  EXPECT_EQ(std::string(kernels.back().name), "reference");
}

// Unit counts on both sides of every pass size (4, 8, 16, 32) and depths on
// both sides of the four-input step, with values that make the order of the
// sum visible (large and small magnitudes, signed zeros, denormals).
TEST(FullyConnectedKernels, EveryKernelGivesTheReferenceBitsForAnyShape) {
  std::mt19937 random(5);
  std::uniform_real_distribution<float> exponent(-30.0f, 30.0f);
  auto value = [&]() {
    switch (random() % 8) {
      case 0:
        return 0.0f;
      case 1:
        return -0.0f;
      case 2:
        return std::numeric_limits<float>::denorm_min() * static_cast<float>(random() % 100);
      default:
        return (random() % 2 ? -1.0f : 1.0f) * std::exp2(exponent(random) / 3.0f);
    }
  };
  const std::vector<tflite::NamedFullyConnectedKernel> kernels = Kernels();
  for (int batches : {1, 3}) {
    for (int depth : {1, 2, 3, 4, 5, 7, 8, 17, 32, 150}) {
      for (int units : {1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 48, 57, 64}) {
        const bool relu = (units + depth) % 2 == 0;
        const FullyConnectedParams p = {batches, units, depth, relu ? 0.0f : std::numeric_limits<float>::lowest(),
                                        FLT_MAX};
        std::vector<float> weights(static_cast<size_t>(units) * depth), bias(units), input(batches * depth);
        for (float& w : weights) w = value();
        for (float& x : input) x = value();
        for (float& b : bias) b = value();

        // The reference is the textbook loop, written out here once more.
        std::vector<float> reference(static_cast<size_t>(batches) * units);
        tflite::FullyConnectedReference(p, input.data(), weights.data(), bias.data(), reference.data());
        for (int b = 0; b < batches; ++b) {
          for (int o = 0; o < units; ++o) {
            float total = 0.0f;
            for (int d = 0; d < depth; ++d) total += input[b * depth + d] * weights[o * depth + d];
            total += bias[o];
            const float plain = std::min(std::max(total, p.activation_min), p.activation_max);
            ASSERT_EQ(Bits(reference[b * units + o]), Bits(plain)) << "units " << units << ", depth " << depth;
          }
        }
        for (const tflite::NamedFullyConnectedKernel& kernel : kernels) {
          ASSERT_TRUE(SameAsReference(kernel, p, input, weights, bias.data()));
          ASSERT_TRUE(SameAsReference(kernel, p, input, weights, nullptr));
        }
      }
    }
  }
}

// The fall model's three layers with their own weights, on windows like the
// detector's and on hostile ones (infinities, NaN, huge values), each layer
// fed with the reference's output of the one before.
TEST(FullyConnectedKernels, TheFallModelsLayersGiveTheReferenceBits) {
  FallClassifier classifier;
  FallClassifierConfig config;
  ml_tumblix_default_config(&config);
  ASSERT_EQ(ml_tumblix_create(&classifier, &config), &classifier);
  struct Layer {
    FullyConnectedParams params;
    std::vector<float> weights;
    const float* bias;
  };
  std::vector<Layer> layers;
  const tflite::Model* model = tflite::GetModel(fall_model);
  for (const tflite::Operator* op : *model->subgraphs()->Get(0)->operators()) {
    const tflite::OperatorCode* code = model->operator_codes()->Get(op->opcode_index());
    if (std::max<int>(code->deprecated_builtin_code(), code->builtin_code()) !=
        tflite::BuiltinOperator_FULLY_CONNECTED) {
      continue;
    }
    const TfLiteTensor* w = classifier.interpreter->tensor(op->inputs()->Get(1));
    const TfLiteTensor* b = classifier.interpreter->tensor(op->inputs()->Get(2));
    const auto* options = op->builtin_options_as_FullyConnectedOptions();
    const bool relu =
        options != nullptr && options->fused_activation_function() == tflite::ActivationFunctionType_RELU;
    const int units = w->dims->data[0];
    const int depth = w->dims->data[1];
    layers.push_back({{1, units, depth, relu ? 0.0f : std::numeric_limits<float>::lowest(), FLT_MAX},
                      std::vector<float>(w->data.f, w->data.f + units * depth),
                      b->data.f});
  }
  ASSERT_EQ(layers.size(), 3u);

  std::mt19937 random(9);
  std::normal_distribution<float> acc(0.0f, 400.0f), gyro(0.0f, 120.0f);
  std::vector<std::vector<float>> windows;
  for (int n = 0; n < 300; ++n) {
    std::vector<float> window(150);
    for (int i = 0; i < 150; ++i) window[i] = (i % 6) < 3 ? acc(random) : gyro(random);
    windows.push_back(window);
  }
  std::vector<float> hostile(150, 0.0f);
  hostile[3] = std::numeric_limits<float>::infinity();
  windows.push_back(hostile);
  hostile[7] = std::numeric_limits<float>::quiet_NaN();
  windows.push_back(hostile);
  windows.push_back(std::vector<float>(150, 1e30f));
  windows.push_back(std::vector<float>(150, -0.0f));

  const std::vector<tflite::NamedFullyConnectedKernel> kernels = Kernels();
  for (const std::vector<float>& window : windows) {
    std::vector<float> x = window;
    for (const Layer& layer : layers) {
      for (const tflite::NamedFullyConnectedKernel& kernel : kernels) {
        ASSERT_TRUE(SameAsReference(kernel, layer.params, x, layer.weights, layer.bias));
      }
      std::vector<float> y(layer.params.units);
      tflite::FullyConnectedReference(layer.params, x.data(), layer.weights.data(), layer.bias, y.data());
      x = y;
    }
  }
  ml_tumblix_destroy(&classifier);
}

}  // namespace
