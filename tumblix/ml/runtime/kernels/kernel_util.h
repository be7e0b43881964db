// Small helpers shared by the kernels: operand access and shape arithmetic.
#ifndef TUMBLIX_ML_RUNTIME_KERNELS_KERNEL_UTIL_H
#define TUMBLIX_ML_RUNTIME_KERNELS_KERNEL_UTIL_H

#include <cstdint>

#include "tumblix/ml/runtime/common.h"
#include "tumblix/ml/runtime/error_reporter.h"
#include "tumblix/ml/runtime/tflite_schema_generated.h"

namespace tflite {
namespace kernel_util {

// Operand `index` of the node, or null when the node has fewer operands or
// marks this one as omitted (-1).
inline TfLiteTensor* Operand(TfLiteContext* context, const TfLiteIntArray* list, int index) {
  if (list == nullptr || index >= list->size) return nullptr;
  const int tensor = list->data[index];
  if (tensor < 0 || static_cast<size_t>(tensor) >= context->tensors_size) return nullptr;
  return &context->tensors[tensor];
}

inline const TfLiteTensor* Input(TfLiteContext* context, const TfLiteNode* node, int index) {
  return Operand(context, node->inputs, index);
}

inline TfLiteTensor* Output(TfLiteContext* context, const TfLiteNode* node, int index) {
  return Operand(context, node->outputs, index);
}

inline int InputCount(const TfLiteNode* node) { return node->inputs == nullptr ? 0 : node->inputs->size; }
inline int OutputCount(const TfLiteNode* node) { return node->outputs == nullptr ? 0 : node->outputs->size; }

// Number of elements of a shape; -1 when a dimension is still unresolved
// (negative) or the product leaves the 32-bit range.
int64_t ElementCount(const TfLiteIntArray* dims);

// The options table of the operator when it is of type `expected`. An
// operator without options gets nullptr and kTfLiteOk (all options at their
// defaults); options of another operator are an error.
TfLiteStatus OptionsOfType(const Operator* op, BuiltinOptions expected, const char* op_name,
                           ErrorReporter* error_reporter, const void** options);

}  // namespace kernel_util
}  // namespace tflite

#endif
