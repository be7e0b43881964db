// LOGISTIC on float32, element by element.
#include <cmath>

#include "tumblix/ml/runtime/kernels/kernel_util.h"
#include "tumblix/ml/runtime/kernels/kernels.h"

namespace tflite {
namespace {

// Above this input 1 / (1 + e^-x) rounds to 1 in float; below -9 the
// denominator rounds so close to 1 that e^x itself is the better value.
constexpr float kUpperCutoff = 16.619047164916992188f;
constexpr float kLowerCutoff = -9.0f;

TfLiteStatus Prepare(TfLiteContext* context, TfLiteNode* node) {
  const TfLiteTensor* input = kernel_util::Input(context, node, 0);
  TfLiteTensor* output = kernel_util::Output(context, node, 0);
  if (input == nullptr || output == nullptr || kernel_util::InputCount(node) != 1 ||
      kernel_util::OutputCount(node) != 1) {
    context->ReportError(context, "LOGISTIC: needs one input and one output.");
    return kTfLiteError;
  }
  if (input->type != kTfLiteFloat32 || output->type != kTfLiteFloat32) {
    context->ReportError(context, "LOGISTIC: only float32 tensors are supported.");
    return kTfLiteError;
  }
  const int64_t count = kernel_util::ElementCount(input->dims);
  if (count < 0 || count != kernel_util::ElementCount(output->dims)) {
    context->ReportError(context, "LOGISTIC: input and output must hold the same number of elements.");
    return kTfLiteError;
  }
  return kTfLiteOk;
}

TfLiteStatus Eval(TfLiteContext* context, TfLiteNode* node) {
  const TfLiteTensor* input = kernel_util::Input(context, node, 0);
  TfLiteTensor* output = kernel_util::Output(context, node, 0);
  const float* x = input->data.f;
  float* y = output->data.f;
  const int64_t count = kernel_util::ElementCount(input->dims);
  for (int64_t i = 0; i < count; ++i) {
    const float v = x[i];
    float result;
    if (v > kUpperCutoff) {
      result = 1.0f;
    } else if (v < kLowerCutoff) {
      result = expf(v);
    } else {
      result = 1.0f / (1.0f + expf(-v));
    }
    y[i] = result;
  }
  return kTfLiteOk;
}

}  // namespace

TfLiteStatus ParseLogistic(const Operator*, ErrorReporter*, BuiltinDataAllocator*, void** builtin_data) {
  *builtin_data = nullptr;
  return kTfLiteOk;
}

TfLiteRegistration Register_LOGISTIC() {
  TfLiteRegistration registration = {};
  registration.prepare = Prepare;
  registration.invoke = Eval;
  registration.builtin_code = BuiltinOperator_LOGISTIC;
  registration.version = 1;
  return registration;
}

}  // namespace tflite
