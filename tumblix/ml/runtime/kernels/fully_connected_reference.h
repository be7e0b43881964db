// FULLY_CONNECTED on float32, the plain loop whose order of operations
// defines the result's bits: every faster kernel must give exactly these.
#ifndef TUMBLIX_ML_RUNTIME_KERNELS_FULLY_CONNECTED_REFERENCE_H
#define TUMBLIX_ML_RUNTIME_KERNELS_FULLY_CONNECTED_REFERENCE_H

namespace tflite {

// What Prepare derives from the operands and options: input rows of `depth`
// values, weights stored row by row as [units, depth], and the fused
// activation as a clamp to [activation_min, activation_max].
struct FullyConnectedParams {
  int batches;
  int units;
  int depth;
  float activation_min;
  float activation_max;
};

// output[b][o] = clamp(sum over d of input[b][d] * weights[o][d], then
// + bias[o]): one output at a time, its products summed in input order from
// 0.0f, rounded to float after every product and every addition; the bias
// (none when bias is null) after the sum.
void FullyConnectedReference(const FullyConnectedParams& params, const float* input, const float* weights,
                             const float* bias, float* output);

}  // namespace tflite

#endif
