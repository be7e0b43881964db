// FULLY_CONNECTED has a scalar, an SSE2 and an AVX path; all three must give
// the bits of the plain loop (each output's products summed in input order,
// then the bias, then the activation) for every shape, not only the fall
// model's. The AVX path is the one the reference vectors of the real runtime
// check (tflite_runtime_test); here the narrower paths are held to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "tests/tflite_test_models.h"
#include "tumblix/ml/fall_model.h"
#include "tumblix/ml/runtime/kernels/kernels.h"

namespace {

using tflite_test::Bits;
using tflite_test::BuildModel;
using tflite_test::ModelRunner;

const int kWidths[] = {1, 4, 8};

// Restores the default width when a test ends, also on a failed assertion.
class VectorWidth {
 public:
  explicit VectorWidth(int width) : saved_(tflite::g_fc_vector_width) { tflite::g_fc_vector_width = width; }
  ~VectorWidth() { tflite::g_fc_vector_width = saved_; }
  VectorWidth(const VectorWidth&) = delete;
  VectorWidth& operator=(const VectorWidth&) = delete;

 private:
  int saved_;
};

float PlainOutput(const std::vector<float>& x, const std::vector<float>& w, const std::vector<float>& bias, int o,
                  int depth, bool relu) {
  float total = 0.0f;
  for (int d = 0; d < depth; ++d) total += x[d] * w[static_cast<size_t>(o) * depth + d];
  total += bias.empty() ? 0.0f : bias[o];
  if (relu) return std::min(std::max(total, 0.0f), std::numeric_limits<float>::max());
  return std::min(std::max(total, std::numeric_limits<float>::lowest()), std::numeric_limits<float>::max());
}

// Unit counts on both sides of every pass size (4, 8, 16) and depths on both
// sides of the four-input step, with values that make the order of the sum
// visible (large and small magnitudes, signed zeros, denormals).
TEST(FullyConnectedPaths, EveryPathGivesThePlainLoopsBitsForAnyShape) {
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
  for (int depth : {1, 2, 3, 4, 5, 7, 8, 17, 32, 150}) {
    for (int units : {1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 24, 32, 33}) {
      for (bool with_bias : {true, false}) {
        const bool relu = (units + depth) % 2 == 0;
        std::vector<float> weights(static_cast<size_t>(units) * depth), bias, input(depth);
        for (float& w : weights) w = value();
        for (float& x : input) x = value();
        if (with_bias) {
          for (int o = 0; o < units; ++o) bias.push_back(value());
        }
        const std::vector<uint8_t> model = BuildModel(tflite_test::FullyConnectedModel(
            {1, depth}, units, depth, weights, bias,
            relu ? tflite::ActivationFunctionType_RELU : tflite::ActivationFunctionType_NONE));
        for (int width : kWidths) {
          VectorWidth narrowed(width);
          ModelRunner runner(model, 16384);
          ASSERT_EQ(runner.interpreter().AllocateTensors(), kTfLiteOk) << runner.messages();
          const std::vector<float> out = runner.Run(input);
          ASSERT_EQ(out.size(), static_cast<size_t>(units));
          for (int o = 0; o < units; ++o) {
            ASSERT_EQ(Bits(out[o]), Bits(PlainOutput(input, weights, bias, o, depth, relu)))
                << "width " << width << ", depth " << depth << ", units " << units << ", output " << o
                << (with_bias ? "" : ", no bias");
          }
        }
      }
    }
  }
}

// The fall model on windows like the detector's and on hostile ones
// (infinities, NaN, huge values): every path agrees with the scalar one.
TEST(FullyConnectedPaths, TheFallModelGivesTheSameBitsOnEveryPath) {
  const std::vector<uint8_t> model(fall_model, fall_model + fall_model_len);
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

  std::vector<std::vector<uint32_t>> scalar;
  for (int width : kWidths) {
    VectorWidth narrowed(width);
    ModelRunner runner(model);
    ASSERT_EQ(runner.interpreter().AllocateTensors(), kTfLiteOk) << runner.messages();
    for (size_t n = 0; n < windows.size(); ++n) {
      const std::vector<float> out = runner.Run(windows[n]);
      ASSERT_EQ(out.size(), 2u);
      const std::vector<uint32_t> bits = {Bits(out[0]), Bits(out[1])};
      if (width == 1) {
        scalar.push_back(bits);
      } else {
        ASSERT_EQ(bits, scalar[n]) << "width " << width << ", window " << n;
      }
    }
  }
}

}  // namespace
