// SOFTMAX on float32 over the last dimension: exp((x - max) * beta) / sum.
#include <algorithm>
#include <cmath>
#include <limits>

#include "tumblix/ml/runtime/kernels/kernel_util.h"
#include "tumblix/ml/runtime/kernels/kernels.h"

namespace tflite {
namespace {

struct SoftmaxData {
  int64_t rows;
  int depth;
};

void* Init(TfLiteContext* context, const char*, size_t) {
  return context->AllocatePersistentBuffer(context, sizeof(SoftmaxData));
}

TfLiteStatus Prepare(TfLiteContext* context, TfLiteNode* node) {
  auto* data = static_cast<SoftmaxData*>(node->user_data);
  if (data == nullptr || node->builtin_data == nullptr) {
    context->ReportError(context, "SOFTMAX: tensor arena too small for the operator's data.");
    return kTfLiteError;
  }
  const TfLiteTensor* input = kernel_util::Input(context, node, 0);
  TfLiteTensor* output = kernel_util::Output(context, node, 0);
  if (input == nullptr || output == nullptr || kernel_util::InputCount(node) != 1 ||
      kernel_util::OutputCount(node) != 1) {
    context->ReportError(context, "SOFTMAX: needs one input and one output.");
    return kTfLiteError;
  }
  if (input->type != kTfLiteFloat32 || output->type != kTfLiteFloat32) {
    context->ReportError(context, "SOFTMAX: only float32 tensors are supported.");
    return kTfLiteError;
  }
  const int64_t count = kernel_util::ElementCount(input->dims);
  if (input->dims->size < 1 || count < 0 || count != kernel_util::ElementCount(output->dims)) {
    context->ReportError(context,
                         "SOFTMAX: input needs at least one dimension and as many elements as the output.");
    return kTfLiteError;
  }
  const int depth = input->dims->data[input->dims->size - 1];
  data->depth = depth;
  data->rows = depth == 0 ? 0 : count / depth;
  return kTfLiteOk;
}

TfLiteStatus Eval(TfLiteContext* context, TfLiteNode* node) {
  const auto* data = static_cast<const SoftmaxData*>(node->user_data);
  const float beta = static_cast<const TfLiteSoftmaxParams*>(node->builtin_data)->beta;
  const TfLiteTensor* input = kernel_util::Input(context, node, 0);
  TfLiteTensor* output = kernel_util::Output(context, node, 0);
  const int depth = data->depth;
  for (int64_t r = 0; r < data->rows; ++r) {
    const float* x = input->data.f + r * depth;
    float* y = output->data.f + r * depth;
    // std::max with the running maximum first: a NaN input leaves the
    // maximum as it was and turns only the sum into NaN.
    float max = std::numeric_limits<float>::lowest();
    for (int c = 0; c < depth; ++c) max = std::max(max, x[c]);
    float sum = 0.0f;
    for (int c = 0; c < depth; ++c) {
      const float e = expf((x[c] - max) * beta);
      y[c] = e;
      sum += e;
    }
    for (int c = 0; c < depth; ++c) y[c] = y[c] / sum;
  }
  return kTfLiteOk;
}

}  // namespace

TfLiteStatus ParseSoftmax(const Operator* op, ErrorReporter* error_reporter,
                          BuiltinDataAllocator* allocator, void** builtin_data) {
  const void* raw = nullptr;
  if (kernel_util::OptionsOfType(op, BuiltinOptions_SoftmaxOptions, "SOFTMAX", error_reporter, &raw) !=
      kTfLiteOk) {
    return kTfLiteError;
  }
  auto* params = allocator->AllocatePOD<TfLiteSoftmaxParams>();
  if (params == nullptr) {
    TF_LITE_REPORT_ERROR(error_reporter, "SOFTMAX: tensor arena too small for its options.");
    return kTfLiteError;
  }
  // Absent options read as the format's default beta, 0.
  params->beta = raw != nullptr ? static_cast<const SoftmaxOptions*>(raw)->beta() : 0.0f;
  *builtin_data = params;
  return kTfLiteOk;
}

TfLiteRegistration Register_SOFTMAX() {
  TfLiteRegistration registration = {};
  registration.init = Init;
  registration.prepare = Prepare;
  registration.invoke = Eval;
  registration.builtin_code = BuiltinOperator_SOFTMAX;
  registration.version = 1;
  return registration;
}

}  // namespace tflite
