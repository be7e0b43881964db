// The builtin kernels of the runtime (float32 reference arithmetic) and the
// parsers that turn an operator's flatbuffer options into the kernel's
// builtin data.
#ifndef TUMBLIX_ML_RUNTIME_KERNELS_KERNELS_H
#define TUMBLIX_ML_RUNTIME_KERNELS_KERNELS_H

#include <cstddef>
#include <new>

#include "tumblix/ml/runtime/common.h"
#include "tumblix/ml/runtime/error_reporter.h"
#include "tumblix/ml/runtime/tflite_schema_generated.h"

namespace tflite {

// Memory for parsed options. The interpreter hands out persistent arena
// memory, so parsed data lives as long as the interpreter.
class BuiltinDataAllocator {
 public:
  virtual ~BuiltinDataAllocator() = default;
  // Null when there is no room.
  virtual void* Allocate(size_t size, size_t alignment_hint) = 0;
  virtual void Deallocate(void* data) = 0;

  template <typename T>
  T* AllocatePOD() {
    void* memory = Allocate(sizeof(T), alignof(T));
    return memory == nullptr ? nullptr : new (memory) T();
  }
};

using BuiltinParseFunction = TfLiteStatus (*)(const Operator* op, ErrorReporter* error_reporter,
                                              BuiltinDataAllocator* allocator, void** builtin_data);

TfLiteStatus ParseFullyConnected(const Operator* op, ErrorReporter* error_reporter,
                                 BuiltinDataAllocator* allocator, void** builtin_data);
TfLiteStatus ParseLogistic(const Operator* op, ErrorReporter* error_reporter,
                           BuiltinDataAllocator* allocator, void** builtin_data);
TfLiteStatus ParseReshape(const Operator* op, ErrorReporter* error_reporter,
                          BuiltinDataAllocator* allocator, void** builtin_data);
TfLiteStatus ParseSoftmax(const Operator* op, ErrorReporter* error_reporter,
                          BuiltinDataAllocator* allocator, void** builtin_data);

TfLiteRegistration Register_FULLY_CONNECTED();
TfLiteRegistration Register_LOGISTIC();
TfLiteRegistration Register_RESHAPE();
TfLiteRegistration Register_SOFTMAX();

}  // namespace tflite

#endif
