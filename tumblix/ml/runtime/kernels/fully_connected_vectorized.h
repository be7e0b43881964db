// Faster FULLY_CONNECTED kernels for float32, each giving exactly the bits of
// FullyConnectedReference. Prepare picks one with ChooseFullyConnectedKernel
// and keeps it in the operator's data, so nothing changes the choice later.
#ifndef TUMBLIX_ML_RUNTIME_KERNELS_FULLY_CONNECTED_VECTORIZED_H
#define TUMBLIX_ML_RUNTIME_KERNELS_FULLY_CONNECTED_VECTORIZED_H

#include <cstddef>

#include "tumblix/ml/runtime/kernels/fully_connected_reference.h"

namespace tflite {

using FullyConnectedKernel = void (*)(const FullyConnectedParams& params, const float* input,
                                      const float* weights, const float* bias, float* output);

struct NamedFullyConnectedKernel {
  const char* name;
  FullyConnectedKernel run;
};

// The kernels this processor can run, fastest first, the reference loop
// last; *count receives their number. Tests hold every one to the reference.
const NamedFullyConnectedKernel* FullyConnectedKernels(size_t* count);

// The fastest of them.
FullyConnectedKernel ChooseFullyConnectedKernel();

}  // namespace tflite

#endif
