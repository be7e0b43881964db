// RESHAPE: the output takes the shape recorded for the output tensor, with
// at most one -1 dimension resolved from the input's element count; the
// bytes are copied unchanged.
#include <cstring>

#include "tumblix/ml/runtime/kernels/kernel_util.h"
#include "tumblix/ml/runtime/kernels/kernels.h"

namespace tflite {
namespace {

TfLiteStatus Prepare(TfLiteContext* context, TfLiteNode* node) {
  const TfLiteTensor* input = kernel_util::Input(context, node, 0);
  const TfLiteTensor* shape = kernel_util::Input(context, node, 1);
  TfLiteTensor* output = kernel_util::Output(context, node, 0);
  if (input == nullptr || output == nullptr || kernel_util::InputCount(node) > 2 ||
      kernel_util::OutputCount(node) != 1) {
    context->ReportError(context, "RESHAPE: needs an input, an optional shape and one output.");
    return kTfLiteError;
  }
  if (input->type != output->type) {
    context->ReportError(context, "RESHAPE: input of type %s and output of type %s differ.",
                         TfLiteTypeGetName(input->type), TfLiteTypeGetName(output->type));
    return kTfLiteError;
  }
  if (shape != nullptr && shape->type != kTfLiteInt32) {
    context->ReportError(context, "RESHAPE: the shape operand must be int32.");
    return kTfLiteError;
  }
  const int64_t input_count = kernel_util::ElementCount(input->dims);
  if (input_count < 0) {
    context->ReportError(context, "RESHAPE: the input's shape is not resolved.");
    return kTfLiteError;
  }
  // The output's dims are the runtime's own copy in the arena, so resolving
  // the -1 here never writes into the model.
  TfLiteIntArray* dims = output->dims;
  int stretch = -1;
  int64_t known = 1;
  for (int i = 0; i < dims->size; ++i) {
    const int d = dims->data[i];
    if (d == -1 && stretch == -1) {
      stretch = i;
    } else if (d < 0) {
      context->ReportError(context, "RESHAPE: output dimension %d of %d is not allowed.", i, d);
      return kTfLiteError;
    } else {
      known *= d;
      if (known > INT32_MAX) {
        context->ReportError(context, "RESHAPE: the output shape is too large.");
        return kTfLiteError;
      }
    }
  }
  if (stretch != -1) {
    if (known == 0 || input_count % known != 0) {
      context->ReportError(context, "RESHAPE: %lld elements cannot fill the output shape.",
                           static_cast<long long>(input_count));
      return kTfLiteError;
    }
    dims->data[stretch] = static_cast<int>(input_count / known);
    known = input_count;
  }
  if (known != input_count) {
    context->ReportError(context, "RESHAPE: input of %lld elements does not fit an output of %lld.",
                         static_cast<long long>(input_count), static_cast<long long>(known));
    return kTfLiteError;
  }
  return kTfLiteOk;
}

TfLiteStatus Eval(TfLiteContext* context, TfLiteNode* node) {
  const TfLiteTensor* input = kernel_util::Input(context, node, 0);
  TfLiteTensor* output = kernel_util::Output(context, node, 0);
  if (input->data.raw_const != output->data.raw_const && input->bytes > 0) {
    std::memcpy(output->data.raw, input->data.raw_const, input->bytes);
  }
  return kTfLiteOk;
}

}  // namespace

TfLiteStatus ParseReshape(const Operator* op, ErrorReporter* error_reporter,
                          BuiltinDataAllocator* allocator, void** builtin_data) {
  const void* raw = nullptr;
  if (kernel_util::OptionsOfType(op, BuiltinOptions_ReshapeOptions, "RESHAPE", error_reporter, &raw) !=
      kTfLiteOk) {
    return kTfLiteError;
  }
  auto* params = allocator->AllocatePOD<TfLiteReshapeParams>();
  if (params == nullptr) {
    TF_LITE_REPORT_ERROR(error_reporter, "RESHAPE: tensor arena too small for its options.");
    return kTfLiteError;
  }
  // The kernel follows the output tensor's shape; the options' new_shape is
  // kept for completeness and checked only for its length.
  if (raw != nullptr) {
    const auto* new_shape = static_cast<const ReshapeOptions*>(raw)->new_shape();
    if (new_shape != nullptr) {
      if (new_shape->size() > static_cast<flatbuffers::uoffset_t>(kTfLiteReshapeMaxDimensions)) {
        TF_LITE_REPORT_ERROR(error_reporter, "RESHAPE: new_shape has %u dimensions, at most %d are supported.",
                             new_shape->size(), kTfLiteReshapeMaxDimensions);
        return kTfLiteError;
      }
      params->num_dimensions = static_cast<int>(new_shape->size());
      for (int i = 0; i < params->num_dimensions; ++i) params->shape[i] = new_shape->Get(i);
    }
  }
  *builtin_data = params;
  return kTfLiteOk;
}

TfLiteRegistration Register_RESHAPE() {
  TfLiteRegistration registration = {};
  registration.prepare = Prepare;
  registration.invoke = Eval;
  registration.builtin_code = BuiltinOperator_RESHAPE;
  registration.version = 1;
  return registration;
}

}  // namespace tflite
