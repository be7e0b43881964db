// Models built by the tests themselves with the FlatBuffers builder, and a
// small harness that runs them in an arena of chosen size and alignment.
#ifndef TUMBLEBENCH_TESTS_TFLITE_TEST_MODELS_H
#define TUMBLEBENCH_TESTS_TFLITE_TEST_MODELS_H

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tumblix/ml/runtime/tflite_micro.h"

namespace tflite_test {

inline std::string VectorsDir() { return std::string(TUMBLEBENCH_SOURCE_DIR) + "/../shared/tflm-vectors"; }

inline bool ReadBytes(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

inline bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

inline uint32_t Bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

inline float FromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

template <typename T>
std::vector<uint8_t> Bytes(const std::vector<T>& values) {
  std::vector<uint8_t> bytes(values.size() * sizeof(T));
  if (!bytes.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

struct TensorDef {
  std::vector<int32_t> shape;
  tflite::TensorType type = tflite::TensorType_FLOAT32;
  std::vector<uint8_t> data;  // empty: computed or fed, not constant
  std::string name;
  bool is_variable = false;
};

struct OpDef {
  int32_t builtin;
  std::vector<int32_t> inputs;
  std::vector<int32_t> outputs;
  tflite::BuiltinOptions options_type = tflite::BuiltinOptions_NONE;
  tflite::ActivationFunctionType activation = tflite::ActivationFunctionType_NONE;
  tflite::FullyConnectedOptionsWeightsFormat weights_format = tflite::FullyConnectedOptionsWeightsFormat_DEFAULT;
  float beta = 1.0f;
  std::vector<int32_t> new_shape = {};
};

struct ModelDef {
  std::vector<TensorDef> tensors;
  std::vector<OpDef> ops;
  std::vector<int32_t> inputs;
  std::vector<int32_t> outputs;
  uint32_t version = 3;
  int subgraphs = 1;
  // Write operator codes the way files from before 32-bit codes did: the
  // 8-bit field only.
  bool narrow_codes_only = false;
};

inline std::vector<uint8_t> BuildModel(const ModelDef& def) {
  flatbuffers::FlatBufferBuilder fbb;
  std::vector<int32_t> codes;
  std::vector<flatbuffers::Offset<tflite::Operator>> ops;
  for (const OpDef& op : def.ops) {
    uint32_t index = 0;
    while (index < codes.size() && codes[index] != op.builtin) ++index;
    if (index == codes.size()) codes.push_back(op.builtin);
    flatbuffers::Offset<void> options = 0;
    switch (op.options_type) {
      case tflite::BuiltinOptions_FullyConnectedOptions:
        options = tflite::CreateFullyConnectedOptions(fbb, op.activation, op.weights_format).Union();
        break;
      case tflite::BuiltinOptions_SoftmaxOptions:
        options = tflite::CreateSoftmaxOptions(fbb, op.beta).Union();
        break;
      case tflite::BuiltinOptions_ReshapeOptions:
        options = tflite::CreateReshapeOptionsDirect(fbb, &op.new_shape).Union();
        break;
      default:
        break;
    }
    ops.push_back(tflite::CreateOperatorDirect(fbb, index, &op.inputs, &op.outputs, op.options_type, options));
  }
  std::vector<flatbuffers::Offset<tflite::Buffer>> buffers;
  buffers.push_back(tflite::CreateBuffer(fbb));
  std::vector<flatbuffers::Offset<tflite::Tensor>> tensors;
  for (const TensorDef& t : def.tensors) {
    const uint32_t buffer = static_cast<uint32_t>(buffers.size());
    buffers.push_back(t.data.empty() ? tflite::CreateBuffer(fbb) : tflite::CreateBufferDirect(fbb, &t.data));
    tensors.push_back(tflite::CreateTensorDirect(fbb, &t.shape, t.type, buffer,
                                                 t.name.empty() ? nullptr : t.name.c_str(), 0, t.is_variable));
  }
  std::vector<flatbuffers::Offset<tflite::SubGraph>> subgraphs;
  for (int s = 0; s < def.subgraphs; ++s) {
    subgraphs.push_back(
        tflite::CreateSubGraphDirect(fbb, &tensors, &def.inputs, &def.outputs, &ops, "main"));
  }
  std::vector<flatbuffers::Offset<tflite::OperatorCode>> code_tables;
  for (int32_t code : codes) {
    const int8_t narrow = static_cast<int8_t>(code < 127 ? code : 127);
    code_tables.push_back(tflite::CreateOperatorCode(
        fbb, narrow, 0, 1, static_cast<tflite::BuiltinOperator>(def.narrow_codes_only ? 0 : code)));
  }
  const auto model = tflite::CreateModelDirect(fbb, def.version, &code_tables, &subgraphs, "test model", &buffers);
  fbb.Finish(model, tflite::ModelIdentifier());
  return std::vector<uint8_t>(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

// A single FULLY_CONNECTED: input `in_shape`, weights [units, depth], an
// optional bias, output [batches, units].
inline ModelDef FullyConnectedModel(std::vector<int32_t> in_shape, int units, int depth,
                                     const std::vector<float>& weights, const std::vector<float>& bias,
                                     tflite::ActivationFunctionType activation, int batches = 1) {
  ModelDef def;
  def.tensors.push_back({in_shape, tflite::TensorType_FLOAT32, {}, "in"});
  def.tensors.push_back({{units, depth}, tflite::TensorType_FLOAT32, Bytes(weights), "weights"});
  def.tensors.push_back({{units}, tflite::TensorType_FLOAT32, Bytes(bias), "bias"});
  def.tensors.push_back({{batches, units}, tflite::TensorType_FLOAT32, {}, "out"});
  OpDef op{tflite::BuiltinOperator_FULLY_CONNECTED, {0, 1, bias.empty() ? -1 : 2}, {3}};
  op.options_type = tflite::BuiltinOptions_FullyConnectedOptions;
  op.activation = activation;
  def.ops.push_back(op);
  def.inputs = {0};
  def.outputs = {3};
  return def;
}

// One unary operator on [rows, depth].
inline ModelDef UnaryModel(int32_t builtin, int rows, int depth, float beta = 1.0f) {
  ModelDef def;
  def.tensors.push_back({{rows, depth}, tflite::TensorType_FLOAT32, {}, "in"});
  def.tensors.push_back({{rows, depth}, tflite::TensorType_FLOAT32, {}, "out"});
  OpDef op{builtin, {0}, {1}};
  if (builtin == tflite::BuiltinOperator_SOFTMAX) {
    op.options_type = tflite::BuiltinOptions_SoftmaxOptions;
    op.beta = beta;
  }
  def.ops.push_back(op);
  def.inputs = {0};
  def.outputs = {1};
  return def;
}

// The classifier's contract with a transparent body: input [1, rows, 6],
// RESHAPE to [1, rows * 6], FULLY_CONNECTED to `units` outputs with no
// activation. Output o is exactly input element probes[o] (weight 1 there,
// 0 elsewhere, bias 0), so a test can see what reached the input tensor.
inline ModelDef ProbeModel(const std::vector<int>& probes, int rows = 25) {
  const int depth = rows * 6;
  const int units = static_cast<int>(probes.size());
  std::vector<float> weights(static_cast<size_t>(units) * depth, 0.0f);
  for (int o = 0; o < units; ++o) weights[static_cast<size_t>(o) * depth + probes[o]] = 1.0f;
  ModelDef def;
  def.tensors.push_back({{1, rows, 6}, tflite::TensorType_FLOAT32, {}, "window"});
  def.tensors.push_back({{2}, tflite::TensorType_INT32, Bytes(std::vector<int32_t>{-1, depth}), "shape"});
  def.tensors.push_back({{1, depth}, tflite::TensorType_FLOAT32, {}, "flat"});
  def.tensors.push_back({{units, depth}, tflite::TensorType_FLOAT32, Bytes(weights), "weights"});
  def.tensors.push_back({{units}, tflite::TensorType_FLOAT32, Bytes(std::vector<float>(units, 0.0f)), "bias"});
  def.tensors.push_back({{1, units}, tflite::TensorType_FLOAT32, {}, "scores"});
  def.ops.push_back({tflite::BuiltinOperator_RESHAPE, {0, 1}, {2}});
  OpDef fc{tflite::BuiltinOperator_FULLY_CONNECTED, {2, 3, 4}, {5}};
  fc.options_type = tflite::BuiltinOptions_FullyConnectedOptions;
  def.ops.push_back(fc);
  def.inputs = {0};
  def.outputs = {5};
  return def;
}

class CapturingReporter : public tflite::ErrorReporter {
 public:
  using tflite::ErrorReporter::Report;
  int Report(const char* format, va_list args) override {
    char text[512];
    std::vsnprintf(text, sizeof(text), format, args);
    messages += text;
    messages += '\n';
    return 0;
  }
  std::string messages;
};

// Runs a model with all four operators registered, in an arena of `arena_size`
// bytes starting `misalignment` bytes past a 16-byte boundary.
class ModelRunner {
 public:
  explicit ModelRunner(std::vector<uint8_t> model, size_t arena_size = 4096, size_t misalignment = 0)
      : model_(std::move(model)), storage_(arena_size + 32) {
    uint8_t* base = storage_.data();
    base += (16 - reinterpret_cast<uintptr_t>(base) % 16) % 16;
    arena_ = base + misalignment;
    resolver_.AddFullyConnected();
    resolver_.AddReshape();
    resolver_.AddSoftmax();
    resolver_.AddLogistic();
    interpreter_ = std::make_unique<tflite::MicroInterpreter>(tflite::GetModel(model_.data()), resolver_, arena_,
                                                              arena_size, &reporter_);
  }

  tflite::MicroInterpreter& interpreter() { return *interpreter_; }
  const std::string& messages() const { return reporter_.messages; }
  const uint8_t* arena() const { return arena_; }
  const std::vector<uint8_t>& model() const { return model_; }

  // Feeds `values` to input 0 and returns output 0, or an empty vector when
  // the invocation fails.
  std::vector<float> Run(const std::vector<float>& values) {
    TfLiteTensor* in = interpreter_->input(0);
    if (in == nullptr || in->bytes != values.size() * sizeof(float)) return {};
    std::memcpy(in->data.f, values.data(), in->bytes);
    if (interpreter_->Invoke() != kTfLiteOk) return {};
    const TfLiteTensor* out = interpreter_->output(0);
    return std::vector<float>(out->data.f, out->data.f + out->bytes / sizeof(float));
  }

 private:
  std::vector<uint8_t> model_;
  std::vector<uint8_t> storage_;
  uint8_t* arena_;
  CapturingReporter reporter_;
  tflite::MicroMutableOpResolver<4> resolver_;
  std::unique_ptr<tflite::MicroInterpreter> interpreter_;
};

}  // namespace tflite_test

#endif
