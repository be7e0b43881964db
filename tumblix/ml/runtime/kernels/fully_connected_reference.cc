#include "tumblix/ml/runtime/kernels/fully_connected_reference.h"

#include <algorithm>
#include <cstddef>

namespace tflite {

void FullyConnectedReference(const FullyConnectedParams& params, const float* input, const float* weights,
                             const float* bias, float* output) {
  const int depth = params.depth;
  const int units = params.units;
  for (int b = 0; b < params.batches; ++b) {
    const float* x = input + static_cast<size_t>(b) * depth;
    float* y = output + static_cast<size_t>(b) * units;
    for (int o = 0; o < units; ++o) {
      const float* w = weights + static_cast<size_t>(o) * depth;
      float total = 0.0f;
      for (int d = 0; d < depth; ++d) total += x[d] * w[d];
      const float bias_value = bias != nullptr ? bias[o] : 0.0f;
      y[o] = std::min(std::max(total + bias_value, params.activation_min), params.activation_max);
    }
  }
}

}  // namespace tflite
