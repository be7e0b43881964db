#include "tumblix/ml/runtime/kernels/kernel_util.h"

#include "tumblix/ml/runtime/error_reporter.h"

namespace tflite {
namespace kernel_util {

int64_t ElementCount(const TfLiteIntArray* dims) {
  if (dims == nullptr) return -1;
  int64_t count = 1;
  for (int i = 0; i < dims->size; ++i) {
    if (dims->data[i] < 0) return -1;
    count *= dims->data[i];
    if (count > INT32_MAX) return -1;
  }
  return count;
}

TfLiteStatus OptionsOfType(const Operator* op, BuiltinOptions expected, const char* op_name,
                           ErrorReporter* error_reporter, const void** options) {
  *options = nullptr;
  const BuiltinOptions type = op->builtin_options_type();
  if (type == BuiltinOptions_NONE) return kTfLiteOk;
  if (type != expected) {
    TF_LITE_REPORT_ERROR(error_reporter, "%s: builtin options of type %d do not belong to this operator.",
                         op_name, static_cast<int>(type));
    return kTfLiteError;
  }
  // A tag without a table reads as all options at their defaults, as the
  // format's readers treat any absent table.
  *options = op->builtin_options();
  return kTfLiteOk;
}

}  // namespace kernel_util
}  // namespace tflite
