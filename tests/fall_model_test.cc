// The committed fall model file, read with the FlatBuffers library alone:
// the tensor table, operators, buffers, metadata and signature the
// classifier's contract rests on, and a forward pass on still postures.
// Read independently of the inference runtime, so that a mistake shared by
// the runtime and the model writer cannot hide here.
#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tumblix/ml/fall_classifier.h"
#include "tumblix/ml/fall_model.h"
#include "tumblix/ml/runtime/tflite_micro.h"

namespace {

using flatbuffers::Offset;
using flatbuffers::String;
using flatbuffers::Table;
using flatbuffers::Vector;

const char kModelPath[] = TUMBLEBENCH_SOURCE_DIR "/tumblix/ml/models/fall_model.tflite";

// Vtable position of field number `slot` of a table.
constexpr flatbuffers::voffset_t Slot(int slot) {
  return static_cast<flatbuffers::voffset_t>(4 + 2 * slot);
}

// Field numbers of the TFLite schema tables this model uses.
namespace model {
constexpr int kVersion = 0, kOperatorCodes = 1, kSubgraphs = 2, kDescription = 3, kBuffers = 4,
              kMetadataBuffer = 5, kMetadata = 6, kSignatureDefs = 7;
}
namespace opcode {
constexpr int kDeprecatedBuiltinCode = 0, kCustomCode = 1, kVersion = 2, kBuiltinCode = 3;
}
namespace subgraph {
constexpr int kTensors = 0, kInputs = 1, kOutputs = 2, kOperators = 3, kName = 4;
}
namespace tensor {
constexpr int kShape = 0, kType = 1, kBuffer = 2, kName = 3, kQuantization = 4, kIsVariable = 5,
              kSparsity = 6, kShapeSignature = 7, kHasRank = 8;
}
namespace op {
constexpr int kOpcodeIndex = 0, kInputs = 1, kOutputs = 2, kBuiltinOptionsType = 3,
              kBuiltinOptions = 4, kCustomOptions = 5;
}
namespace buffer {
constexpr int kData = 0;
}
constexpr int kMetadataName = 0, kMetadataBufferIndex = 1;
constexpr int kSignatureInputs = 0, kSignatureOutputs = 1, kSignatureKey = 2,
              kSignatureSubgraph = 4;
constexpr int kTensorMapName = 0, kTensorMapIndex = 1;
// The converter's nested record.
constexpr int kConversionEnvironment = 0, kConversionOptions = 1;
constexpr int kEnvVersion = 0, kEnvApi = 1, kEnvModelType = 2;
constexpr int kOptionsModes = 0;

constexpr int8_t kFloat32 = 0;
constexpr int8_t kInt32 = 2;
constexpr uint8_t kFullyConnectedOptions = 8;

std::vector<uint8_t> ReadModelFile() {
  std::ifstream in(kModelPath, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using Tables = Vector<Offset<Table>>;

const Tables* TablesAt(const Table* t, int slot) {
  return t->GetPointer<const Tables*>(Slot(slot));
}
const String* StringAt(const Table* t, int slot) {
  return t->GetPointer<const String*>(Slot(slot));
}
template <typename T>
std::vector<T> VectorAt(const Table* t, int slot) {
  const auto* v = t->GetPointer<const Vector<T>*>(Slot(slot));
  if (v == nullptr) return {};
  return std::vector<T>(v->begin(), v->end());
}
std::string Text(const String* s) { return s == nullptr ? std::string("<absent>") : s->str(); }

// Structural verification of every table and field the model holds, in the
// library's own bounds and alignment checks.
class ModelVerifier {
 public:
  ModelVerifier(const uint8_t* data, size_t size) : v_(data, size) {}

  bool Model(const Table* m) {
    if (!m->VerifyTableStart(v_) || !m->VerifyField<uint32_t>(v_, Slot(model::kVersion), 4) ||
        !String(m, model::kDescription) || !VectorOf<int32_t>(m, model::kMetadataBuffer))
      return false;
    if (!EachTable(m, model::kOperatorCodes, [this](const Table* t) { return OpCode(t); }) ||
        !EachTable(m, model::kSubgraphs, [this](const Table* t) { return Subgraph(t); }) ||
        !EachTable(m, model::kBuffers, [this](const Table* t) { return Buffer(t); }) ||
        !EachTable(m, model::kMetadata, [this](const Table* t) { return Metadata(t); }) ||
        !EachTable(m, model::kSignatureDefs, [this](const Table* t) { return Signature(t); }))
      return false;
    return v_.EndTable();
  }

 private:
  template <typename F>
  bool EachTable(const Table* t, int slot, F check) {
    if (!t->VerifyOffset(v_, Slot(slot))) return false;
    const Tables* list = TablesAt(t, slot);
    if (list == nullptr) return true;
    if (!v_.VerifyVector(list)) return false;
    for (flatbuffers::uoffset_t i = 0; i < list->size(); ++i) {
      if (!check(list->Get(i))) return false;
    }
    return true;
  }
  bool String(const Table* t, int slot) {
    return t->VerifyOffset(v_, Slot(slot)) && v_.VerifyString(StringAt(t, slot));
  }
  template <typename T>
  bool VectorOf(const Table* t, int slot) {
    return t->VerifyOffset(v_, Slot(slot)) &&
           v_.VerifyVector(t->GetPointer<const Vector<T>*>(Slot(slot)));
  }
  bool SubTable(const Table* t, int slot) {
    if (!t->VerifyOffset(v_, Slot(slot))) return false;
    const Table* sub = t->GetPointer<const Table*>(Slot(slot));
    // Only present-and-empty sub-tables occur here; their fields are checked
    // by the tests, their bounds here.
    return sub == nullptr || (sub->VerifyTableStart(v_) && v_.EndTable());
  }
  bool OpCode(const Table* t) {
    return t->VerifyTableStart(v_) &&
           t->VerifyField<int8_t>(v_, Slot(opcode::kDeprecatedBuiltinCode), 1) &&
           String(t, opcode::kCustomCode) && t->VerifyField<int32_t>(v_, Slot(opcode::kVersion), 4) &&
           t->VerifyField<int32_t>(v_, Slot(opcode::kBuiltinCode), 4) && v_.EndTable();
  }
  bool Tensor(const Table* t) {
    return t->VerifyTableStart(v_) && VectorOf<int32_t>(t, tensor::kShape) &&
           t->VerifyField<int8_t>(v_, Slot(tensor::kType), 1) &&
           t->VerifyField<uint32_t>(v_, Slot(tensor::kBuffer), 4) && String(t, tensor::kName) &&
           SubTable(t, tensor::kQuantization) &&
           t->VerifyField<uint8_t>(v_, Slot(tensor::kIsVariable), 1) &&
           SubTable(t, tensor::kSparsity) && VectorOf<int32_t>(t, tensor::kShapeSignature) &&
           t->VerifyField<uint8_t>(v_, Slot(tensor::kHasRank), 1) && v_.EndTable();
  }
  bool Operator(const Table* t) {
    if (!t->VerifyTableStart(v_) || !t->VerifyField<uint32_t>(v_, Slot(op::kOpcodeIndex), 4) ||
        !VectorOf<int32_t>(t, op::kInputs) || !VectorOf<int32_t>(t, op::kOutputs) ||
        !t->VerifyField<uint8_t>(v_, Slot(op::kBuiltinOptionsType), 1) ||
        !VectorOf<uint8_t>(t, op::kCustomOptions) || !t->VerifyOffset(v_, Slot(op::kBuiltinOptions)))
      return false;
    const Table* options = t->GetPointer<const Table*>(Slot(op::kBuiltinOptions));
    if (options != nullptr) {
      // FullyConnectedOptions: four one-byte fields.
      if (!options->VerifyTableStart(v_)) return false;
      for (int slot = 0; slot < 4; ++slot) {
        if (!options->VerifyField<int8_t>(v_, Slot(slot), 1)) return false;
      }
      if (!v_.EndTable()) return false;
    }
    return v_.EndTable();
  }
  bool Subgraph(const Table* t) {
    return t->VerifyTableStart(v_) &&
           EachTable(t, subgraph::kTensors, [this](const Table* x) { return Tensor(x); }) &&
           VectorOf<int32_t>(t, subgraph::kInputs) && VectorOf<int32_t>(t, subgraph::kOutputs) &&
           EachTable(t, subgraph::kOperators, [this](const Table* x) { return Operator(x); }) &&
           String(t, subgraph::kName) && v_.EndTable();
  }
  bool Buffer(const Table* t) {
    return t->VerifyTableStart(v_) && VectorOf<uint8_t>(t, buffer::kData) && v_.EndTable();
  }
  bool Metadata(const Table* t) {
    return t->VerifyTableStart(v_) && String(t, kMetadataName) &&
           t->VerifyField<uint32_t>(v_, Slot(kMetadataBufferIndex), 4) && v_.EndTable();
  }
  bool TensorMap(const Table* t) {
    return t->VerifyTableStart(v_) && String(t, kTensorMapName) &&
           t->VerifyField<uint32_t>(v_, Slot(kTensorMapIndex), 4) && v_.EndTable();
  }
  bool Signature(const Table* t) {
    auto map = [this](const Table* x) { return TensorMap(x); };
    return t->VerifyTableStart(v_) && EachTable(t, kSignatureInputs, map) &&
           EachTable(t, kSignatureOutputs, map) && String(t, kSignatureKey) &&
           t->VerifyField<uint32_t>(v_, Slot(kSignatureSubgraph), 4) && v_.EndTable();
  }

  flatbuffers::Verifier v_;
};

class FallModelFile : public ::testing::Test {
 protected:
  void SetUp() override {
    bytes_ = ReadModelFile();
    ASSERT_FALSE(bytes_.empty()) << kModelPath << " is missing or empty";
    ASSERT_GE(bytes_.size(), 8u);
    ASSERT_TRUE(flatbuffers::BufferHasIdentifier(bytes_.data(), "TFL3"));
    ModelVerifier verifier(bytes_.data(), bytes_.size());
    root_ = flatbuffers::GetRoot<Table>(bytes_.data());
    ASSERT_TRUE(verifier.Model(root_)) << "the model fails flatbuffer verification";
    const Tables* subgraphs = TablesAt(root_, model::kSubgraphs);
    ASSERT_NE(subgraphs, nullptr);
    ASSERT_EQ(subgraphs->size(), 1u);
    main_ = subgraphs->Get(0);
  }

  const Table* Buffer(uint32_t index) const { return TablesAt(root_, model::kBuffers)->Get(index); }
  std::vector<uint8_t> BufferBytes(uint32_t index) const {
    return VectorAt<uint8_t>(Buffer(index), buffer::kData);
  }
  std::vector<float> Floats(uint32_t buffer_index) const {
    const std::vector<uint8_t> raw = BufferBytes(buffer_index);
    std::vector<float> out(raw.size() / sizeof(float));
    std::memcpy(out.data(), raw.data(), out.size() * sizeof(float));
    return out;
  }

  std::vector<uint8_t> bytes_;
  const Table* root_ = nullptr;
  const Table* main_ = nullptr;
};

TEST_F(FallModelFile, TopLevel) {
  EXPECT_EQ(bytes_.size(), 26116u);
  uint32_t root_offset = 0;
  std::memcpy(&root_offset, bytes_.data(), 4);
  EXPECT_EQ(root_offset, 28u);
  EXPECT_EQ(root_->GetField<uint32_t>(Slot(model::kVersion), 0), 3u);
  EXPECT_EQ(Text(StringAt(root_, model::kDescription)), "MLIR Converted.");
  EXPECT_FALSE(root_->CheckField(Slot(model::kMetadataBuffer)));
  EXPECT_EQ(Text(StringAt(main_, subgraph::kName)), "main");
  EXPECT_EQ(VectorAt<int32_t>(main_, subgraph::kInputs), std::vector<int32_t>{0});
  EXPECT_EQ(VectorAt<int32_t>(main_, subgraph::kOutputs), std::vector<int32_t>{12});
}

TEST_F(FallModelFile, OperatorCodesStoreBothCodeFields) {
  const Tables* codes = TablesAt(root_, model::kOperatorCodes);
  ASSERT_NE(codes, nullptr);
  const int32_t expected[] = {22, 9, 14};  // RESHAPE, FULLY_CONNECTED, LOGISTIC
  ASSERT_EQ(codes->size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const Table* c = codes->Get(i);
    SCOPED_TRACE(i);
    EXPECT_EQ(c->GetField<int8_t>(Slot(opcode::kDeprecatedBuiltinCode), 0), expected[i]);
    EXPECT_EQ(c->GetField<int32_t>(Slot(opcode::kBuiltinCode), 0), expected[i]);
    EXPECT_EQ(c->GetField<int32_t>(Slot(opcode::kVersion), 1), 1);
    EXPECT_FALSE(c->CheckField(Slot(opcode::kCustomCode)));
  }
}

struct TensorRow {
  const char* name;
  int8_t type;
  std::vector<int32_t> shape;
  std::vector<int32_t> signature;  // empty: none stored
  uint32_t buffer;
  size_t data_bytes;
};

const std::vector<TensorRow>& ExpectedTensors() {
  static const std::vector<TensorRow> rows = {
      {"serving_default_input_1:0", kFloat32, {1, 25, 6}, {-1, 25, 6}, 1, 0},
      {"model/dense/BiasAdd/ReadVariableOp", kFloat32, {32}, {}, 2, 128},
      {"model/dense_2/BiasAdd/ReadVariableOp", kFloat32, {2}, {}, 3, 8},
      {"model/dense_1/BiasAdd/ReadVariableOp", kFloat32, {32}, {}, 4, 128},
      {"model/flatten/Const", kInt32, {2}, {}, 5, 8},
      {"model/dense/MatMul", kFloat32, {32, 150}, {}, 6, 19200},
      {"model/dense_1/MatMul", kFloat32, {32, 32}, {}, 7, 4096},
      {"model/dense_2/MatMul", kFloat32, {2, 32}, {}, 8, 256},
      {"model/flatten/Reshape", kFloat32, {1, 150}, {-1, 150}, 9, 0},
      {"model/dense/MatMul;model/activation/Relu;model/dense/BiasAdd", kFloat32, {1, 32},
       {-1, 32}, 10, 0},
      {"model/dense_1/MatMul;model/activation_1/Relu;model/dense_1/BiasAdd", kFloat32, {1, 32},
       {-1, 32}, 11, 0},
      {"model/dense_2/MatMul;model/dense_2/BiasAdd", kFloat32, {1, 2}, {-1, 2}, 12, 0},
      {"StatefulPartitionedCall:0", kFloat32, {1, 2}, {-1, 2}, 13, 0},
  };
  return rows;
}

TEST_F(FallModelFile, TensorTable) {
  const Tables* tensors = TablesAt(main_, subgraph::kTensors);
  ASSERT_NE(tensors, nullptr);
  ASSERT_EQ(tensors->size(), ExpectedTensors().size());
  for (size_t i = 0; i < ExpectedTensors().size(); ++i) {
    const TensorRow& want = ExpectedTensors()[i];
    const Table* t = tensors->Get(static_cast<flatbuffers::uoffset_t>(i));
    SCOPED_TRACE(want.name);
    EXPECT_EQ(Text(StringAt(t, tensor::kName)), want.name);
    EXPECT_EQ(t->GetField<int8_t>(Slot(tensor::kType), 0), want.type);
    EXPECT_EQ(VectorAt<int32_t>(t, tensor::kShape), want.shape);
    EXPECT_EQ(t->CheckField(Slot(tensor::kShapeSignature)), !want.signature.empty());
    EXPECT_EQ(VectorAt<int32_t>(t, tensor::kShapeSignature), want.signature);
    EXPECT_EQ(t->GetField<uint32_t>(Slot(tensor::kBuffer), 0), want.buffer);
    EXPECT_EQ(BufferBytes(want.buffer).size(), want.data_bytes);
    // An empty quantisation table: present, with no field set.
    const Table* q = t->GetPointer<const Table*>(Slot(tensor::kQuantization));
    ASSERT_NE(q, nullptr);
    for (int slot = 0; slot < 7; ++slot) EXPECT_FALSE(q->CheckField(Slot(slot))) << slot;
    EXPECT_EQ(t->GetField<uint8_t>(Slot(tensor::kIsVariable), 0), 0);
    EXPECT_FALSE(t->CheckField(Slot(tensor::kSparsity)));
    EXPECT_EQ(t->GetField<uint8_t>(Slot(tensor::kHasRank), 0), 1);
  }
}

TEST_F(FallModelFile, Operators) {
  struct Row {
    uint32_t code;
    std::vector<int32_t> inputs, outputs;
    bool options;
    int8_t activation;
  };
  const std::vector<Row> expected = {
      {0, {0, 4}, {8}, false, 0},     {1, {8, 5, 1}, {9}, true, 1}, {1, {9, 6, 3}, {10}, true, 1},
      {1, {10, 7, 2}, {11}, true, 0}, {2, {11}, {12}, false, 0},
  };
  const Tables* ops = TablesAt(main_, subgraph::kOperators);
  ASSERT_NE(ops, nullptr);
  ASSERT_EQ(ops->size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Table* o = ops->Get(static_cast<flatbuffers::uoffset_t>(i));
    SCOPED_TRACE(i);
    EXPECT_EQ(o->GetField<uint32_t>(Slot(op::kOpcodeIndex), 0), expected[i].code);
    EXPECT_EQ(VectorAt<int32_t>(o, op::kInputs), expected[i].inputs);
    EXPECT_EQ(VectorAt<int32_t>(o, op::kOutputs), expected[i].outputs);
    EXPECT_FALSE(o->CheckField(Slot(op::kCustomOptions)));
    const Table* options = o->GetPointer<const Table*>(Slot(op::kBuiltinOptions));
    ASSERT_EQ(options != nullptr, expected[i].options);
    EXPECT_EQ(o->GetField<uint8_t>(Slot(op::kBuiltinOptionsType), 0),
              expected[i].options ? kFullyConnectedOptions : 0);
    if (options == nullptr) continue;
    EXPECT_EQ(options->GetField<int8_t>(Slot(0), 0), expected[i].activation);
    // Weights format DEFAULT, keep_num_dims and asymmetric quantisation off.
    for (int slot = 1; slot < 4; ++slot) EXPECT_EQ(options->GetField<int8_t>(Slot(slot), 0), 0);
    // The last layer's table is present with every field at its default.
    if (expected[i].activation == 0) {
      for (int slot = 0; slot < 4; ++slot) EXPECT_FALSE(options->CheckField(Slot(slot)));
    }
  }
}

TEST_F(FallModelFile, BuffersAndConstants) {
  const Tables* buffers = TablesAt(root_, model::kBuffers);
  ASSERT_EQ(buffers->size(), 16u);
  const size_t sizes[16] = {0, 0, 128, 8, 128, 8, 19200, 4096, 256, 0, 0, 0, 0, 0, 16, 92};
  for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(BufferBytes(i).size(), sizes[i]) << "buffer " << i;

  const std::vector<uint8_t> shape = BufferBytes(5);
  int32_t target[2] = {0, 0};
  std::memcpy(target, shape.data(), sizeof(target));
  EXPECT_EQ(target[0], -1);
  EXPECT_EQ(target[1], 150);

  // Trained weights: finite, and not a constant layer.
  for (uint32_t b : {2u, 3u, 4u, 6u, 7u, 8u}) {
    const std::vector<float> w = Floats(b);
    bool all_finite = true;
    for (float x : w) all_finite = all_finite && std::isfinite(x);
    EXPECT_TRUE(all_finite) << "buffer " << b;
    if (w.size() > 2) {
      bool varies = false;
      for (float x : w) varies = varies || x != w[0];
      EXPECT_TRUE(varies) << "buffer " << b;
    }
  }
}

TEST_F(FallModelFile, MetadataAndSignature) {
  const Tables* metadata = TablesAt(root_, model::kMetadata);
  ASSERT_NE(metadata, nullptr);
  ASSERT_EQ(metadata->size(), 2u);
  EXPECT_EQ(Text(StringAt(metadata->Get(0), kMetadataName)), "min_runtime_version");
  EXPECT_EQ(metadata->Get(0)->GetField<uint32_t>(Slot(kMetadataBufferIndex), 0), 14u);
  EXPECT_EQ(Text(StringAt(metadata->Get(1), kMetadataName)), "CONVERSION_METADATA");
  EXPECT_EQ(metadata->Get(1)->GetField<uint32_t>(Slot(kMetadataBufferIndex), 0), 15u);

  std::vector<uint8_t> version_text = BufferBytes(14);
  std::vector<uint8_t> expected_text(16, 0);
  std::memcpy(expected_text.data(), "1.14.0", 6);
  EXPECT_EQ(version_text, expected_text);

  // The nested record is a flatbuffer of its own.
  const std::vector<uint8_t> nested = BufferBytes(15);
  ASSERT_EQ(nested.size(), 92u);
  flatbuffers::Verifier nested_verifier(nested.data(), nested.size());
  const Table* record = flatbuffers::GetRoot<Table>(nested.data());
  ASSERT_TRUE(record->VerifyTableStart(nested_verifier));
  ASSERT_TRUE(record->VerifyOffset(nested_verifier, Slot(kConversionEnvironment)));
  ASSERT_TRUE(record->VerifyOffset(nested_verifier, Slot(kConversionOptions)));
  const Table* env = record->GetPointer<const Table*>(Slot(kConversionEnvironment));
  const Table* options = record->GetPointer<const Table*>(Slot(kConversionOptions));
  ASSERT_NE(env, nullptr);
  ASSERT_NE(options, nullptr);
  ASSERT_TRUE(env->VerifyTableStart(nested_verifier));
  ASSERT_TRUE(env->VerifyOffset(nested_verifier, Slot(kEnvVersion)));
  ASSERT_TRUE(nested_verifier.VerifyString(StringAt(env, kEnvVersion)));
  EXPECT_EQ(Text(StringAt(env, kEnvVersion)), "2.13.0");
  EXPECT_EQ(env->GetField<uint32_t>(Slot(kEnvApi), 0), 2u);
  EXPECT_EQ(env->GetField<int32_t>(Slot(kEnvModelType), 0), 2);
  ASSERT_TRUE(options->VerifyTableStart(nested_verifier));
  ASSERT_TRUE(options->VerifyOffset(nested_verifier, Slot(kOptionsModes)));
  const auto* modes = options->GetPointer<const Vector<int32_t>*>(Slot(kOptionsModes));
  ASSERT_NE(modes, nullptr);
  ASSERT_TRUE(nested_verifier.VerifyVector(modes));
  EXPECT_EQ(modes->size(), 0u);

  const Tables* signatures = TablesAt(root_, model::kSignatureDefs);
  ASSERT_NE(signatures, nullptr);
  ASSERT_EQ(signatures->size(), 1u);
  const Table* sig = signatures->Get(0);
  EXPECT_EQ(Text(StringAt(sig, kSignatureKey)), "serving_default");
  EXPECT_EQ(sig->GetField<uint32_t>(Slot(kSignatureSubgraph), 0), 0u);
  const Tables* ins = TablesAt(sig, kSignatureInputs);
  const Tables* outs = TablesAt(sig, kSignatureOutputs);
  ASSERT_TRUE(ins != nullptr && ins->size() == 1);
  ASSERT_TRUE(outs != nullptr && outs->size() == 1);
  EXPECT_EQ(Text(StringAt(ins->Get(0), kTensorMapName)), "input_1");
  EXPECT_EQ(ins->Get(0)->GetField<uint32_t>(Slot(kTensorMapIndex), 0), 0u);
  EXPECT_EQ(Text(StringAt(outs->Get(0), kTensorMapName)), "dense_2");
  EXPECT_EQ(outs->Get(0)->GetField<uint32_t>(Slot(kTensorMapIndex), 0), 12u);
}

// The forward pass of the file's weights on a window of one repeated sample
// in the classifier's units (acceleration in g times 500, deg/s).
std::vector<float> Forward(const std::vector<float>& b1, const std::vector<float>& w1,
                           const std::vector<float>& b2, const std::vector<float>& w2,
                           const std::vector<float>& b3, const std::vector<float>& w3,
                           const float sample[6]) {
  float x[150];
  for (int t = 0; t < 25; ++t) {
    for (int k = 0; k < 6; ++k) x[t * 6 + k] = sample[k];
  }
  float h1[32], h2[32];
  for (int o = 0; o < 32; ++o) {
    float sum = 0.0f;
    for (int i = 0; i < 150; ++i) sum += w1[o * 150 + i] * x[i];
    h1[o] = std::fmax(0.0f, sum + b1[o]);
  }
  for (int o = 0; o < 32; ++o) {
    float sum = 0.0f;
    for (int i = 0; i < 32; ++i) sum += w2[o * 32 + i] * h1[i];
    h2[o] = std::fmax(0.0f, sum + b2[o]);
  }
  std::vector<float> y(2);
  for (int o = 0; o < 2; ++o) {
    float sum = 0.0f;
    for (int i = 0; i < 32; ++i) sum += w3[o * 32 + i] * h2[i];
    y[o] = 1.0f / (1.0f + std::exp(-(sum + b3[o])));
  }
  return y;
}

TEST_F(FallModelFile, StillPosturesScoreAsNormal) {
  // Standing, lying on the back and lying on a side, motionless: the sensor
  // at the low back reads about 1 g on one axis (y when upright). A model
  // whose outputs were swapped, or whose input scaling was folded wrongly,
  // would call these falls, and the detector's sustained-confidence rule
  // would then fire on people at rest.
  const float postures[][6] = {
      {0.0f, -500.0f, 0.0f, 0.0f, 0.0f, 0.0f},
      {0.0f, 0.0f, 500.0f, 0.0f, 0.0f, 0.0f},
      {500.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},
  };
  for (const auto& sample : postures) {
    const std::vector<float> y =
        Forward(Floats(2), Floats(6), Floats(4), Floats(7), Floats(3), Floats(8), sample);
    EXPECT_GT(y[0], 0.5f) << "normal score, posture " << sample[0] << "," << sample[1] << ","
                          << sample[2];
    EXPECT_LT(y[1], 0.5f) << "down score, posture " << sample[0] << "," << sample[1] << ","
                          << sample[2];
  }
}

// The model carried in the program is the committed file, and it passes
// the runtime's own verification.
TEST_F(FallModelFile, EmbeddedModelIsTheCommittedFile) {
  ASSERT_EQ(static_cast<size_t>(fall_model_len), bytes_.size());
  EXPECT_EQ(std::memcmp(fall_model, bytes_.data(), bytes_.size()), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(fall_model) % 8, 0u);
  flatbuffers::Verifier verifier(fall_model, fall_model_len);
  EXPECT_TRUE(tflite::VerifyModelBuffer(verifier));
}

// The classifier running the embedded model computes what the file's
// weights say, read here without the runtime: the runtime takes the weights
// in the layout the file stores them ([units, inputs]) and the two outputs
// in their order.
TEST_F(FallModelFile, ClassifierOutputsMatchTheWeights) {
  FallClassifierConfig config;
  ml_tumblix_default_config(&config);
  static FallClassifier classifier;
  ASSERT_NE(ml_tumblix_create(&classifier, &config), nullptr);
  // Samples in g and deg/s, as the detector feeds them: standing, then a
  // tumble (low acceleration, fast rotation).
  const float samples[][6] = {
      {0.02f, -0.98f, 0.05f, 1.5f, -2.0f, 0.5f},
      {0.10f, -0.30f, 0.20f, 120.0f, -60.0f, 35.0f},
  };
  for (const auto& s : samples) {
    for (int i = 0; i < 25; ++i) ml_tumblix_feed(&classifier, s, i == 24);
    const float window_sample[6] = {s[0] * 500.0f, s[1] * 500.0f, s[2] * 500.0f,
                                    s[3],          s[4],          s[5]};
    const std::vector<float> y =
        Forward(Floats(2), Floats(6), Floats(4), Floats(7), Floats(3), Floats(8), window_sample);
    // Summation order may differ from the runtime's, so not bit for bit.
    EXPECT_NEAR(ml_tumblix_score(&classifier, 0), y[0], 1e-5f);
    EXPECT_NEAR(ml_tumblix_score(&classifier, 1), y[1], 1e-5f);
  }
  ml_tumblix_destroy(&classifier);
}

}  // namespace

namespace {

std::vector<std::vector<std::string>> CsvRows(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : test_support::ReadLines(path)) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, ',')) fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

// The training windows come from dump_windows, the replay from
// ReplayKFallRecording. They must see one and the same sample stream: the
// same thinning, the same counts (saturated at the sensor's range), the same
// detector state. Checked on a recording with a fall-like dip below the
// gate, a spell beyond 4 g and a title line that must not count.
TEST(DumpWindows, SeesWhatTheReplaySees) {
  test_support::TempDir dir;
  std::string text = "TimeStamp(s),FrameCounter,AccX,AccY,AccZ,GyrX,GyrY,GyrZ\n";
  for (int i = 0; i < 181; ++i) {
    double ay = -1.0 + 0.02 * ((i * 7) % 5);
    if (i >= 90 && i < 110) ay = -0.3;  // low acceleration: opens the window
    if (i >= 120 && i < 124) ay = -4.6;  // beyond the sensor's range
    const double gx = (i >= 90 && i < 130) ? 180.0 + i : 2.5 * ((i * 3) % 7);
    std::ostringstream line;
    line << 0.01 * (i + 1) << "," << i + 1 << "," << 0.01 * (i % 9) << "," << ay << ",0.05,"
         << gx << ",-12.25,3.5\n";
    text += line.str();
  }
  const std::string recording = dir.File("S99T20R01.csv");
  test_support::WriteFile(recording, text);

  int status = -1;
  const std::string dump = dir.File("dump.csv");
  test_support::RunCommand(std::string("'") + TUMBLEBENCH_BINARY_DIR "/tools/dump_windows' '" +
                               recording + "' '" + dump + "' > /dev/null",
                           &status);
  ASSERT_EQ(status, 0) << "dump_windows failed (is it built?)";
  test_support::RunCommand("'" + test_support::TumblebenchPath() + "' -f '" + recording +
                               "' > /dev/null",
                           &status);
  ASSERT_EQ(status, 0);

  const auto d = CsvRows(dump);
  const auto t = CsvRows(dir.File("S99T20R01_DSV.csv"));
  ASSERT_EQ(d.size(), 92u);  // header and 91 samples: every second of 181 lines
  ASSERT_EQ(t.size(), d.size());
  int open_samples = 0;
  int window_end = 0;
  for (size_t r = 1; r < d.size(); ++r) {
    SCOPED_TRACE("sample " + d[r][1]);
    ASSERT_EQ(d[r].size(), 18u);
    EXPECT_EQ(std::stoi(d[r][0]), static_cast<int>(r) - 1);  // 0-based index
    EXPECT_EQ(d[r][1], t[r][0]);                               // seqno
    // The classifier's row: the trace's counts, converted, acceleration x 500.
    for (int k = 0; k < 6; ++k) {
      const float counts = std::stof(t[r][1 + k]);
      const float expected = k < 3 ? counts / 8192.0f * 500.0f : counts / 65.536f;
      EXPECT_EQ(std::stof(d[r][2 + k]), expected) << "channel " << k;
    }
    EXPECT_EQ(d[r][8], t[r][7]);    // raw_acc
    EXPECT_EQ(d[r][9], t[r][8]);    // lpf_acc
    EXPECT_EQ(d[r][15], t[r][18]);  // the mode the detector returned
    // The scores, exact in the dump, truncated percentages in the trace.
    EXPECT_EQ(static_cast<int>(std::stof(d[r][16]) * 100.0f), std::stoi(t[r][16]));
    EXPECT_EQ(static_cast<int>(std::stof(d[r][17]) * 100.0f), std::stoi(t[r][17]));
    const int seqno = std::stoi(d[r][1]);
    if (std::stoi(d[r][8]) <= 90) window_end = seqno + 25;
    const int open = (seqno < window_end && seqno >= 25) ? 1 : 0;
    EXPECT_EQ(std::stoi(d[r][14]), open);
    open_samples += open;
  }
  EXPECT_GT(open_samples, 0);
  // -4.6 g saturates to -32768 counts, -4 g exactly, rather than wrapping.
  EXPECT_EQ(std::stof(d[61][3]), -2000.0f);
}

TEST(DumpWindows, ReportsFilesItCannotUse) {
  test_support::TempDir dir;
  int status = -1;
  const std::string tool = std::string("'") + TUMBLEBENCH_BINARY_DIR "/tools/dump_windows'";
  const std::string out =
      test_support::RunCommand(tool + " '" + dir.File("missing.csv") + "' '" +
                                   dir.File("out.csv") + "' 2>&1",
                               &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("missing.csv, not opened"), std::string::npos) << out;
  test_support::RunCommand(tool + " only-one-argument > /dev/null 2>&1", &status);
  EXPECT_EQ(status, 2);
}

}  // namespace
