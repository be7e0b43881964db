// Runs one subgraph of a TFLite model inside a caller-provided arena.
//
// AllocateTensors checks the model (types, shapes, operators, operand
// indexes, constant data), prepares the kernels and plans every tensor
// inside the arena; Invoke then runs the operators in order without touching
// the heap. The model buffer, the resolver and the arena must outlive the
// interpreter.
#ifndef TUMBLIX_ML_RUNTIME_MICRO_INTERPRETER_H
#define TUMBLIX_ML_RUNTIME_MICRO_INTERPRETER_H

#include <cstddef>
#include <cstdint>

#include "tumblix/ml/runtime/arena_allocator.h"
#include "tumblix/ml/runtime/common.h"
#include "tumblix/ml/runtime/error_reporter.h"
#include "tumblix/ml/runtime/op_resolver.h"
#include "tumblix/ml/runtime/tflite_schema_generated.h"

namespace tflite {

// Profiling hooks are not implemented; the type exists for the constructor's
// signature.
class MicroProfiler;

class MicroInterpreter {
 public:
  MicroInterpreter(const Model* model, const MicroOpResolver& op_resolver, uint8_t* tensor_arena,
                   size_t tensor_arena_size, ErrorReporter* error_reporter,
                   MicroProfiler* profiler = nullptr);
  ~MicroInterpreter();
  MicroInterpreter(const MicroInterpreter&) = delete;
  MicroInterpreter& operator=(const MicroInterpreter&) = delete;

  // Later calls return the result of the first.
  TfLiteStatus AllocateTensors();
  // Allocates first when AllocateTensors has not been called.
  TfLiteStatus Invoke();

  // Null (with a report) for an index out of range or before a successful
  // AllocateTensors.
  TfLiteTensor* input(size_t index);
  TfLiteTensor* output(size_t index);
  TfLiteTensor* tensor(size_t index);

  size_t inputs_size() const;
  size_t outputs_size() const;
  size_t tensors_size() const { return tensor_count_; }
  size_t operators_size() const { return node_count_; }

  // kTfLiteError when the model was unusable from the start (null model, no
  // or several subgraphs).
  TfLiteStatus initialization_status() const { return initialization_status_; }

  // Arena bytes taken from the aligned start: planned tensor data (or the
  // planner's scratch, whichever was larger) plus the interpreter's own
  // structures. 0 before AllocateTensors.
  size_t arena_used_bytes() const { return allocator_.used_bytes(); }

 private:
  struct Node;
  enum class State { kNotAllocated, kAllocated, kFailed };

  TfLiteStatus Allocate();
  TfLiteStatus InitTensors();
  TfLiteStatus InitNodes();
  TfLiteStatus PrepareNodes();
  TfLiteStatus PlanTensors();
  TfLiteTensor* GraphTensor(bool outputs, size_t index);
  TfLiteIntArray* CopyIndexList(const flatbuffers::Vector<int32_t>* list);

  static void ReportFromKernel(TfLiteContext* context, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  static void* AllocateForKernel(TfLiteContext* context, size_t bytes);

  const Model* model_;
  const MicroOpResolver& op_resolver_;
  ErrorReporter* error_reporter_;
  ArenaAllocator allocator_;
  const SubGraph* subgraph_ = nullptr;
  TfLiteContext context_ = {};
  TfLiteTensor* tensors_ = nullptr;
  size_t tensor_count_ = 0;
  Node* nodes_ = nullptr;
  size_t node_count_ = 0;
  size_t initialized_nodes_ = 0;
  bool kernels_may_allocate_ = false;
  State state_ = State::kNotAllocated;
  TfLiteStatus initialization_status_ = kTfLiteOk;
};

}  // namespace tflite

#endif
