// FULLY_CONNECTED on float32, the operator's glue: option parsing, Prepare
// (checks, the activation's clamp, the choice of kernel) and Eval. The
// arithmetic is in fully_connected_reference.cc (the plain loop that defines
// the bits) and fully_connected_vectorized.cc (faster kernels with the same
// bits).
#include <cfloat>
#include <limits>

#include "tumblix/ml/runtime/kernels/fully_connected_reference.h"
#include "tumblix/ml/runtime/kernels/fully_connected_vectorized.h"
#include "tumblix/ml/runtime/kernels/kernel_util.h"
#include "tumblix/ml/runtime/kernels/kernels.h"

namespace tflite {
namespace {

// Operand positions.
constexpr int kInputTensor = 0;
constexpr int kWeightsTensor = 1;
constexpr int kBiasTensor = 2;  // optional
constexpr int kOutputTensor = 0;

// The operator's data, in the arena for the interpreter's lifetime: the
// shape and clamp, and the kernel chosen once in Prepare.
struct FullyConnectedData {
  FullyConnectedParams params;
  FullyConnectedKernel kernel;
};

void* Init(TfLiteContext* context, const char*, size_t) {
  return context->AllocatePersistentBuffer(context, sizeof(FullyConnectedData));
}

TfLiteStatus Prepare(TfLiteContext* context, TfLiteNode* node) {
  auto* data = static_cast<FullyConnectedData*>(node->user_data);
  const auto* params = static_cast<const TfLiteFullyConnectedParams*>(node->builtin_data);
  if (data == nullptr || params == nullptr) {
    context->ReportError(context, "FULLY_CONNECTED: tensor arena too small for the operator's data.");
    return kTfLiteError;
  }
  const TfLiteTensor* input = kernel_util::Input(context, node, kInputTensor);
  const TfLiteTensor* weights = kernel_util::Input(context, node, kWeightsTensor);
  const TfLiteTensor* bias = kernel_util::Input(context, node, kBiasTensor);
  TfLiteTensor* output = kernel_util::Output(context, node, kOutputTensor);
  if (input == nullptr || weights == nullptr || output == nullptr ||
      kernel_util::InputCount(node) > 3 || kernel_util::OutputCount(node) != 1) {
    context->ReportError(context,
                         "FULLY_CONNECTED: needs an input, weights, an optional bias and one output.");
    return kTfLiteError;
  }
  if (input->type != kTfLiteFloat32 || weights->type != kTfLiteFloat32 ||
      output->type != kTfLiteFloat32 || (bias != nullptr && bias->type != kTfLiteFloat32)) {
    context->ReportError(context, "FULLY_CONNECTED: only float32 tensors are supported.");
    return kTfLiteError;
  }
  if (params->weights_format != kTfLiteFullyConnectedWeightsFormatDefault) {
    context->ReportError(context, "FULLY_CONNECTED: weights format %d is not supported.",
                         static_cast<int>(params->weights_format));
    return kTfLiteError;
  }
  FullyConnectedParams& p = data->params;
  switch (params->activation) {
    case kTfLiteActNone:
      p.activation_min = std::numeric_limits<float>::lowest();
      p.activation_max = FLT_MAX;
      break;
    case kTfLiteActRelu:
      p.activation_min = 0.0f;
      p.activation_max = FLT_MAX;
      break;
    case kTfLiteActReluN1To1:
      p.activation_min = -1.0f;
      p.activation_max = 1.0f;
      break;
    case kTfLiteActRelu6:
      p.activation_min = 0.0f;
      p.activation_max = 6.0f;
      break;
    default:
      context->ReportError(context, "FULLY_CONNECTED: fused activation %d is not supported.",
                           static_cast<int>(params->activation));
      return kTfLiteError;
  }
  if (weights->dims->size != 2 || weights->dims->data[0] <= 0 || weights->dims->data[1] <= 0) {
    context->ReportError(context, "FULLY_CONNECTED: weights must have the shape [units, depth].");
    return kTfLiteError;
  }
  const int units = weights->dims->data[0];
  const int depth = weights->dims->data[1];
  const int64_t input_count = kernel_util::ElementCount(input->dims);
  const int64_t output_count = kernel_util::ElementCount(output->dims);
  if (output->dims->size < 1 || output->dims->data[output->dims->size - 1] != units ||
      output_count < 0) {
    context->ReportError(context, "FULLY_CONNECTED: the output's last dimension must be %d.", units);
    return kTfLiteError;
  }
  const int64_t batches = output_count / units;
  if (input_count != batches * depth) {
    context->ReportError(context,
                         "FULLY_CONNECTED: input of %lld elements does not match %lld rows of depth %d.",
                         static_cast<long long>(input_count), static_cast<long long>(batches), depth);
    return kTfLiteError;
  }
  if (bias != nullptr && kernel_util::ElementCount(bias->dims) != units) {
    context->ReportError(context, "FULLY_CONNECTED: bias must hold %d elements.", units);
    return kTfLiteError;
  }
  p.batches = static_cast<int>(batches);
  p.units = units;
  p.depth = depth;
  data->kernel = ChooseFullyConnectedKernel();
  return kTfLiteOk;
}

TfLiteStatus Eval(TfLiteContext* context, TfLiteNode* node) {
  const auto* data = static_cast<const FullyConnectedData*>(node->user_data);
  const TfLiteTensor* input = kernel_util::Input(context, node, kInputTensor);
  const TfLiteTensor* weights = kernel_util::Input(context, node, kWeightsTensor);
  const TfLiteTensor* bias = kernel_util::Input(context, node, kBiasTensor);
  TfLiteTensor* output = kernel_util::Output(context, node, kOutputTensor);
  data->kernel(data->params, input->data.f, weights->data.f, bias != nullptr ? bias->data.f : nullptr,
               output->data.f);
  return kTfLiteOk;
}

}  // namespace

TfLiteStatus ParseFullyConnected(const Operator* op, ErrorReporter* error_reporter,
                                 BuiltinDataAllocator* allocator, void** builtin_data) {
  const void* raw = nullptr;
  if (kernel_util::OptionsOfType(op, BuiltinOptions_FullyConnectedOptions, "FULLY_CONNECTED",
                                 error_reporter, &raw) != kTfLiteOk) {
    return kTfLiteError;
  }
  auto* params = allocator->AllocatePOD<TfLiteFullyConnectedParams>();
  if (params == nullptr) {
    TF_LITE_REPORT_ERROR(error_reporter, "FULLY_CONNECTED: tensor arena too small for its options.");
    return kTfLiteError;
  }
  params->activation = kTfLiteActNone;
  params->weights_format = kTfLiteFullyConnectedWeightsFormatDefault;
  if (const auto* options = static_cast<const FullyConnectedOptions*>(raw)) {
    // Values the format does not define are refused here; defined ones that
    // the float kernel lacks are refused in prepare.
    const int activation = options->fused_activation_function();
    const int weights_format = options->weights_format();
    if (activation < ActivationFunctionType_NONE || activation > ActivationFunctionType_SIGN_BIT) {
      TF_LITE_REPORT_ERROR(error_reporter, "FULLY_CONNECTED: unknown fused activation %d.", activation);
      return kTfLiteError;
    }
    if (weights_format < FullyConnectedOptionsWeightsFormat_DEFAULT ||
        weights_format > FullyConnectedOptionsWeightsFormat_SHUFFLED4x16INT8) {
      TF_LITE_REPORT_ERROR(error_reporter, "FULLY_CONNECTED: unknown weights format %d.", weights_format);
      return kTfLiteError;
    }
    params->activation = static_cast<TfLiteFusedActivation>(activation);
    params->weights_format = static_cast<TfLiteFullyConnectedWeightsFormat>(weights_format);
    params->keep_num_dims = options->keep_num_dims();
    params->asymmetric_quantize_inputs = options->asymmetric_quantize_inputs();
  }
  *builtin_data = params;
  return kTfLiteOk;
}

TfLiteRegistration Register_FULLY_CONNECTED() {
  TfLiteRegistration registration = {};
  registration.init = Init;
  registration.prepare = Prepare;
  registration.invoke = Eval;
  registration.builtin_code = BuiltinOperator_FULLY_CONNECTED;
  registration.version = 1;
  return registration;
}

}  // namespace tflite
