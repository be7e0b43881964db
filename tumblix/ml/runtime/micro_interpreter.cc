#include "tumblix/ml/runtime/micro_interpreter.h"

#include <algorithm>
#include <cstdarg>
#include <new>

#include "tumblix/ml/runtime/kernels/kernel_util.h"
#include "tumblix/ml/runtime/memory_planner.h"

namespace tflite {

struct MicroInterpreter::Node {
  TfLiteNode node;
  const TfLiteRegistration* registration;
  int32_t builtin_code;
};

namespace {

constexpr uint32_t kSupportedSchemaVersion = 3;

bool ElementTypeOf(TensorType type, TfLiteType* result, size_t* element_size) {
  switch (type) {
    case TensorType_FLOAT32:
      *result = kTfLiteFloat32;
      *element_size = sizeof(float);
      return true;
    case TensorType_INT32:
      *result = kTfLiteInt32;
      *element_size = sizeof(int32_t);
      return true;
    default:
      return false;
  }
}

size_t ElementSize(TfLiteType type) { return type == kTfLiteFloat32 ? sizeof(float) : sizeof(int32_t); }

const char* SchemaTypeName(TensorType type) {
  const char* name = EnumNameTensorType(type);
  return name[0] != '\0' ? name : "unknown";
}

const char* OperatorName(int32_t code) {
  const char* name = EnumNameBuiltinOperator(static_cast<BuiltinOperator>(code));
  return name[0] != '\0' ? name : "unsupported";
}

// Files written before 32-bit operator codes existed fill only the 8-bit
// field (the 32-bit one then reads 0); newer files fill both, with the 8-bit
// field at the placeholder 127 for codes above 126. The larger of the two is
// the operator in both cases.
int32_t BuiltinCodeOf(const OperatorCode* code) {
  return std::max<int32_t>(code->deprecated_builtin_code(), static_cast<int32_t>(code->builtin_code()));
}

const char* NameOf(const TfLiteTensor& tensor) { return tensor.name != nullptr ? tensor.name : ""; }

}  // namespace

MicroInterpreter::MicroInterpreter(const Model* model, const MicroOpResolver& op_resolver,
                                   uint8_t* tensor_arena, size_t tensor_arena_size,
                                   ErrorReporter* error_reporter, MicroProfiler*)
    : model_(model),
      op_resolver_(op_resolver),
      error_reporter_(error_reporter),
      allocator_(tensor_arena, tensor_arena_size) {
  context_.impl_ = this;
  context_.ReportError = ReportFromKernel;
  context_.AllocatePersistentBuffer = AllocateForKernel;
  if (model_ == nullptr) {
    TF_LITE_REPORT_ERROR(error_reporter_, "No model given to the interpreter.");
    initialization_status_ = kTfLiteError;
    return;
  }
  const auto* subgraphs = model_->subgraphs();
  if (subgraphs == nullptr || subgraphs->size() != 1) {
    TF_LITE_REPORT_ERROR(error_reporter_, "Only models with exactly one subgraph are supported (found %u).",
                         subgraphs == nullptr ? 0u : subgraphs->size());
    initialization_status_ = kTfLiteError;
    return;
  }
  subgraph_ = subgraphs->Get(0);
}

MicroInterpreter::~MicroInterpreter() {
  for (size_t k = 0; k < initialized_nodes_; ++k) {
    const Node& n = nodes_[k];
    if (n.registration->free != nullptr) n.registration->free(&context_, n.node.user_data);
  }
}

TfLiteStatus MicroInterpreter::AllocateTensors() {
  if (state_ == State::kAllocated) return kTfLiteOk;
  if (state_ == State::kFailed) return kTfLiteError;
  kernels_may_allocate_ = true;
  const TfLiteStatus status = Allocate();
  kernels_may_allocate_ = false;
  if (status == kTfLiteOk) {
    state_ = State::kAllocated;
    return kTfLiteOk;
  }
  // Nothing half-built stays reachable: kernels get their free call now and
  // the accessors answer as if there were no tensors.
  for (size_t k = 0; k < initialized_nodes_; ++k) {
    const Node& n = nodes_[k];
    if (n.registration->free != nullptr) n.registration->free(&context_, n.node.user_data);
  }
  initialized_nodes_ = 0;
  tensors_ = nullptr;
  tensor_count_ = 0;
  nodes_ = nullptr;
  node_count_ = 0;
  context_.tensors = nullptr;
  context_.tensors_size = 0;
  state_ = State::kFailed;
  return kTfLiteError;
}

TfLiteStatus MicroInterpreter::Allocate() {
  if (initialization_status_ != kTfLiteOk) {
    TF_LITE_REPORT_ERROR(error_reporter_, "AllocateTensors: the model cannot be run.");
    return kTfLiteError;
  }
  if (model_->version() != kSupportedSchemaVersion) {
    TF_LITE_REPORT_ERROR(error_reporter_, "Model has schema version %u; only version %u is supported.",
                         model_->version(), kSupportedSchemaVersion);
    return kTfLiteError;
  }
  if (allocator_.head() == nullptr) {
    TF_LITE_REPORT_ERROR(error_reporter_, "Tensor arena is missing or too small to align to %zu bytes.",
                         kArenaAlignment);
    return kTfLiteError;
  }
  if (InitTensors() != kTfLiteOk) return kTfLiteError;
  if (InitNodes() != kTfLiteOk) return kTfLiteError;
  if (PrepareNodes() != kTfLiteOk) return kTfLiteError;
  return PlanTensors();
}

TfLiteStatus MicroInterpreter::InitTensors() {
  const auto* tensors = subgraph_->tensors();
  const auto* buffers = model_->buffers();
  const size_t count = tensors == nullptr ? 0 : tensors->size();
  if (count > 0) {
    tensors_ = static_cast<TfLiteTensor*>(
        allocator_.AllocatePersistent(sizeof(TfLiteTensor) * count, alignof(TfLiteTensor)));
    if (tensors_ == nullptr) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Tensor arena too small for the %zu tensor records.", count);
      return kTfLiteError;
    }
  }
  for (size_t i = 0; i < count; ++i) {
    const Tensor* source = tensors->Get(static_cast<flatbuffers::uoffset_t>(i));
    TfLiteTensor* tensor = new (&tensors_[i]) TfLiteTensor();
    tensor->name = source->name() != nullptr ? source->name()->c_str() : nullptr;
    size_t element_size = 0;
    if (!ElementTypeOf(source->type(), &tensor->type, &element_size)) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Tensor %zu ('%s'): element type %s (%d) is not supported.", i,
                           NameOf(*tensor), SchemaTypeName(source->type()), static_cast<int>(source->type()));
      return kTfLiteError;
    }
    if (source->is_variable()) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Tensor %zu ('%s'): variable tensors are not supported.", i,
                           NameOf(*tensor));
      return kTfLiteError;
    }
    if (source->sparsity() != nullptr) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Tensor %zu ('%s'): sparse tensors are not supported.", i,
                           NameOf(*tensor));
      return kTfLiteError;
    }
    tensor->dims = CopyIndexList(source->shape());
    if (tensor->dims == nullptr) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Tensor arena too small for the shape of tensor %zu.", i);
      return kTfLiteError;
    }
    for (int d = 0; d < tensor->dims->size; ++d) {
      if (tensor->dims->data[d] < -1) {
        TF_LITE_REPORT_ERROR(error_reporter_, "Tensor %zu ('%s'): dimension %d is %d.", i, NameOf(*tensor), d,
                             tensor->dims->data[d]);
        return kTfLiteError;
      }
    }
    const uint32_t buffer_index = source->buffer();
    if (buffers == nullptr || buffer_index >= buffers->size()) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Tensor %zu ('%s'): buffer %u does not exist.", i, NameOf(*tensor),
                           buffer_index);
      return kTfLiteError;
    }
    const Buffer* buffer = buffers->Get(buffer_index);
    if (buffer->offset() != 0 || buffer->size() != 0) {
      TF_LITE_REPORT_ERROR(error_reporter_,
                           "Tensor %zu ('%s'): data stored outside the flatbuffer is not supported.", i,
                           NameOf(*tensor));
      return kTfLiteError;
    }
    const auto* data = buffer->data();
    if (data == nullptr || data->size() == 0) {
      tensor->allocation_type = kTfLiteArenaRw;
      continue;
    }
    const int64_t elements = kernel_util::ElementCount(tensor->dims);
    if (elements < 0 || static_cast<uint64_t>(elements) * element_size != data->size()) {
      TF_LITE_REPORT_ERROR(error_reporter_,
                           "Tensor %zu ('%s'): constant data of %u bytes does not match its shape.", i,
                           NameOf(*tensor), data->size());
      return kTfLiteError;
    }
    // Kernels read constants in place as floats or ints.
    if (reinterpret_cast<uintptr_t>(data->data()) % element_size != 0) {
      TF_LITE_REPORT_ERROR(error_reporter_,
                           "Tensor %zu ('%s'): constant data is not aligned to %zu bytes in memory.", i,
                           NameOf(*tensor), element_size);
      return kTfLiteError;
    }
    tensor->data.raw_const = reinterpret_cast<const char*>(data->data());
    tensor->bytes = data->size();
    tensor->allocation_type = kTfLiteMmapRo;
  }
  tensor_count_ = count;
  context_.tensors = tensors_;
  context_.tensors_size = count;
  return kTfLiteOk;
}

TfLiteStatus MicroInterpreter::InitNodes() {
  const auto* operators = subgraph_->operators();
  const auto* codes = model_->operator_codes();
  const size_t count = operators == nullptr ? 0 : operators->size();
  if (count > 0) {
    nodes_ = static_cast<Node*>(allocator_.AllocatePersistent(sizeof(Node) * count, alignof(Node)));
    if (nodes_ == nullptr) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Tensor arena too small for the %zu operator records.", count);
      return kTfLiteError;
    }
  }
  for (size_t k = 0; k < count; ++k) {
    const Operator* op = operators->Get(static_cast<flatbuffers::uoffset_t>(k));
    Node* n = new (&nodes_[k]) Node();
    const uint32_t code_index = op->opcode_index();
    if (codes == nullptr || code_index >= codes->size()) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Operator %zu: operator code %u does not exist.", k, code_index);
      return kTfLiteError;
    }
    const OperatorCode* code = codes->Get(code_index);
    const int32_t builtin = BuiltinCodeOf(code);
    if (code->custom_code() != nullptr) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Operator %zu: custom operator '%s' is not supported.", k,
                           code->custom_code()->c_str());
      return kTfLiteError;
    }
    const auto op_code = static_cast<BuiltinOperator>(builtin);
    const TfLiteRegistration* registration = op_resolver_.FindOp(op_code);
    const BuiltinParseFunction parser = op_resolver_.GetOpDataParser(op_code);
    if (registration == nullptr || parser == nullptr || registration->invoke == nullptr) {
      TF_LITE_REPORT_ERROR(error_reporter_,
                           "Operator %zu: builtin operator %s (%d), version %d, is not supported or not "
                           "registered.",
                           k, OperatorName(builtin), builtin, code->version());
      return kTfLiteError;
    }
    const auto* inputs = op->inputs();
    const auto* outputs = op->outputs();
    for (flatbuffers::uoffset_t i = 0; inputs != nullptr && i < inputs->size(); ++i) {
      const int32_t t = inputs->Get(i);
      if (t < -1 || (t >= 0 && static_cast<size_t>(t) >= tensor_count_)) {
        TF_LITE_REPORT_ERROR(error_reporter_, "Operator %zu: input %u names tensor %d, which does not exist.", k,
                             i, t);
        return kTfLiteError;
      }
    }
    for (flatbuffers::uoffset_t i = 0; outputs != nullptr && i < outputs->size(); ++i) {
      const int32_t t = outputs->Get(i);
      if (t < 0 || static_cast<size_t>(t) >= tensor_count_) {
        TF_LITE_REPORT_ERROR(error_reporter_, "Operator %zu: output %u names tensor %d, which does not exist.",
                             k, i, t);
        return kTfLiteError;
      }
    }
    n->registration = registration;
    n->builtin_code = builtin;
    n->node.inputs = CopyIndexList(inputs);
    n->node.outputs = CopyIndexList(outputs);
    if (n->node.inputs == nullptr || n->node.outputs == nullptr) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Tensor arena too small for the operands of operator %zu.", k);
      return kTfLiteError;
    }
    void* builtin_data = nullptr;
    if (parser(op, error_reporter_, &allocator_, &builtin_data) != kTfLiteOk) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Operator %zu (%s): its options are not usable.", k,
                           OperatorName(builtin));
      return kTfLiteError;
    }
    n->node.builtin_data = builtin_data;
    if (registration->init != nullptr) {
      n->node.user_data = registration->init(&context_, static_cast<const char*>(builtin_data), 0);
    }
    initialized_nodes_ = k + 1;
  }
  node_count_ = count;
  return kTfLiteOk;
}

TfLiteStatus MicroInterpreter::PrepareNodes() {
  for (size_t k = 0; k < node_count_; ++k) {
    Node& n = nodes_[k];
    if (n.registration->prepare != nullptr && n.registration->prepare(&context_, &n.node) != kTfLiteOk) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Operator %zu (%s) failed to prepare.", k,
                           OperatorName(n.builtin_code));
      return kTfLiteError;
    }
  }
  return kTfLiteOk;
}

TfLiteStatus MicroInterpreter::PlanTensors() {
  const int count = static_cast<int>(tensor_count_);
  // Scratch for the planner at the start of the arena, where the planned
  // tensors will go once it is done with it.
  const size_t scratch_bytes =
      AlignUp(sizeof(PlannedBuffer) * tensor_count_, alignof(int)) + 3 * sizeof(int) * tensor_count_;
  if (!allocator_.ReserveHead(scratch_bytes)) {
    TF_LITE_REPORT_ERROR(error_reporter_,
                         "Tensor arena too small: %zu bytes left after the runtime's structures, planning "
                         "needs %zu.",
                         allocator_.head_room(), scratch_bytes);
    return kTfLiteError;
  }
  auto* planned = reinterpret_cast<PlannedBuffer*>(allocator_.head());
  int* first = reinterpret_cast<int*>(allocator_.head() + AlignUp(sizeof(PlannedBuffer) * tensor_count_, alignof(int)));
  int* last = first + count;
  int* order = last + count;
  std::fill(first, first + count, -1);
  std::fill(last, last + count, -1);

  // Time 0 is the caller writing the inputs, time k + 1 operator k, and
  // time node_count_ + 1 the caller reading the outputs.
  const auto* graph_inputs = subgraph_->inputs();
  const auto* graph_outputs = subgraph_->outputs();
  for (flatbuffers::uoffset_t i = 0; graph_inputs != nullptr && i < graph_inputs->size(); ++i) {
    const int32_t t = graph_inputs->Get(i);
    if (t < 0 || t >= count || tensors_[t].allocation_type != kTfLiteArenaRw) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Graph input %u names tensor %d, which is missing or constant.", i, t);
      return kTfLiteError;
    }
    first[t] = 0;
    last[t] = 0;
  }
  for (size_t k = 0; k < node_count_; ++k) {
    const int time = static_cast<int>(k) + 1;
    const TfLiteNode& node = nodes_[k].node;
    for (int i = 0; i < node.inputs->size; ++i) {
      const int t = node.inputs->data[i];
      if (t < 0 || tensors_[t].allocation_type != kTfLiteArenaRw) continue;
      if (first[t] < 0) {
        TF_LITE_REPORT_ERROR(error_reporter_, "Operator %zu reads tensor %d ('%s') before anything writes it.", k,
                             t, NameOf(tensors_[t]));
        return kTfLiteError;
      }
      last[t] = time;
    }
    for (int i = 0; i < node.outputs->size; ++i) {
      const int t = node.outputs->data[i];
      if (tensors_[t].allocation_type != kTfLiteArenaRw) {
        TF_LITE_REPORT_ERROR(error_reporter_, "Operator %zu writes constant tensor %d ('%s').", k, t,
                             NameOf(tensors_[t]));
        return kTfLiteError;
      }
      if (first[t] >= 0) {
        TF_LITE_REPORT_ERROR(error_reporter_, "Tensor %d ('%s') is written a second time by operator %zu.", t,
                             NameOf(tensors_[t]), k);
        return kTfLiteError;
      }
      first[t] = time;
      last[t] = time;
    }
  }
  for (flatbuffers::uoffset_t i = 0; graph_outputs != nullptr && i < graph_outputs->size(); ++i) {
    const int32_t t = graph_outputs->Get(i);
    if (t < 0 || t >= count || tensors_[t].allocation_type != kTfLiteArenaRw || first[t] < 0) {
      TF_LITE_REPORT_ERROR(error_reporter_,
                           "Graph output %u names tensor %d, which is missing, constant or never written.", i, t);
      return kTfLiteError;
    }
    last[t] = static_cast<int>(node_count_) + 1;
  }

  int used = 0;
  for (int t = 0; t < count; ++t) {
    TfLiteTensor& tensor = tensors_[t];
    if (tensor.allocation_type != kTfLiteArenaRw) continue;
    const int64_t elements = kernel_util::ElementCount(tensor.dims);
    if (first[t] < 0) {
      // Not part of the computation: no memory, but a size when it has one.
      tensor.bytes = elements < 0 ? 0 : static_cast<size_t>(elements) * ElementSize(tensor.type);
      continue;
    }
    if (elements < 0) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Tensor %d ('%s') has a shape that is not resolved.", t,
                           NameOf(tensor));
      return kTfLiteError;
    }
    tensor.bytes = static_cast<size_t>(elements) * ElementSize(tensor.type);
    planned[used].size = tensor.bytes;
    planned[used].first_use = first[t];
    planned[used].last_use = last[t];
    planned[used].offset = 0;
    // `first` is not read again past this point; it now maps plan slots back
    // to tensors.
    first[used] = t;
    ++used;
  }
  const size_t span = PlanBuffers(planned, order, used, kArenaAlignment);
  if (!allocator_.ReserveHead(span)) {
    TF_LITE_REPORT_ERROR(error_reporter_,
                         "Tensor arena too small: the tensors need %zu bytes, %zu are left after the "
                         "runtime's structures.",
                         span, allocator_.head_room());
    return kTfLiteError;
  }
  for (int j = 0; j < used; ++j) {
    tensors_[first[j]].data.raw = reinterpret_cast<char*>(allocator_.head() + planned[j].offset);
  }
  return kTfLiteOk;
}

TfLiteIntArray* MicroInterpreter::CopyIndexList(const flatbuffers::Vector<int32_t>* list) {
  const int size = list == nullptr ? 0 : static_cast<int>(list->size());
  auto* array = static_cast<TfLiteIntArray*>(
      allocator_.AllocatePersistent(TfLiteIntArrayGetSizeInBytes(size), alignof(TfLiteIntArray)));
  if (array == nullptr) return nullptr;
  array->size = size;
  for (int i = 0; i < size; ++i) array->data[i] = list->Get(static_cast<flatbuffers::uoffset_t>(i));
  return array;
}

TfLiteStatus MicroInterpreter::Invoke() {
  if (state_ == State::kNotAllocated && AllocateTensors() != kTfLiteOk) return kTfLiteError;
  if (state_ != State::kAllocated) {
    TF_LITE_REPORT_ERROR(error_reporter_, "Invoke: tensors could not be allocated.");
    return kTfLiteError;
  }
  for (size_t k = 0; k < node_count_; ++k) {
    Node& n = nodes_[k];
    if (n.registration->invoke(&context_, &n.node) != kTfLiteOk) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Operator %zu (%s) failed to invoke.", k, OperatorName(n.builtin_code));
      return kTfLiteError;
    }
  }
  return kTfLiteOk;
}

TfLiteTensor* MicroInterpreter::GraphTensor(bool outputs, size_t index) {
  const char* what = outputs ? "output" : "input";
  if (state_ != State::kAllocated) {
    TF_LITE_REPORT_ERROR(error_reporter_, "%s(%zu): tensors are not allocated.", what, index);
    return nullptr;
  }
  const auto* list = outputs ? subgraph_->outputs() : subgraph_->inputs();
  if (list == nullptr || index >= list->size()) {
    TF_LITE_REPORT_ERROR(error_reporter_, "%s(%zu): the model has %u.", what, index,
                         list == nullptr ? 0u : list->size());
    return nullptr;
  }
  // Indexes were checked when the tensors were allocated.
  return &tensors_[list->Get(static_cast<flatbuffers::uoffset_t>(index))];
}

TfLiteTensor* MicroInterpreter::input(size_t index) { return GraphTensor(false, index); }

TfLiteTensor* MicroInterpreter::output(size_t index) { return GraphTensor(true, index); }

TfLiteTensor* MicroInterpreter::tensor(size_t index) {
  if (state_ != State::kAllocated || index >= tensor_count_) {
    TF_LITE_REPORT_ERROR(error_reporter_, "tensor(%zu): no such tensor.", index);
    return nullptr;
  }
  return &tensors_[index];
}

size_t MicroInterpreter::inputs_size() const {
  return subgraph_ == nullptr || subgraph_->inputs() == nullptr ? 0 : subgraph_->inputs()->size();
}

size_t MicroInterpreter::outputs_size() const {
  return subgraph_ == nullptr || subgraph_->outputs() == nullptr ? 0 : subgraph_->outputs()->size();
}

void MicroInterpreter::ReportFromKernel(TfLiteContext* context, const char* format, ...) {
  ErrorReporter* reporter = static_cast<MicroInterpreter*>(context->impl_)->error_reporter_;
  if (reporter == nullptr) return;
  va_list args;
  va_start(args, format);
  reporter->Report(format, args);
  va_end(args);
}

void* MicroInterpreter::AllocateForKernel(TfLiteContext* context, size_t bytes) {
  auto* self = static_cast<MicroInterpreter*>(context->impl_);
  // Only while tensors are being allocated: Invoke must not take memory.
  if (!self->kernels_may_allocate_) return nullptr;
  return self->allocator_.AllocatePersistent(bytes, kArenaAlignment);
}

}  // namespace tflite
