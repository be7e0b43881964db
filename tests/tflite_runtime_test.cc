// The inference runtime: bit-exact kernels against the reference vectors of
// the real runtime, model checks, arena planning and error reporting.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tflite_test_models.h"
#include "tumblix/ml/fall_model.h"
#include "tumblix/ml/runtime/memory_planner.h"
#include "tumblix/ml/vector_text.h"

namespace {

using tflite_test::Bits;
using tflite_test::BuildModel;
using tflite_test::ModelRunner;
using tflite_test::ModelDef;
using tflite_test::OpDef;

// --- Reference vectors --------------------------------------------------

struct ExpectedLine {
  int line_number;
  int invoke_status;
  std::vector<uint32_t> bits;
};

// "LINE invoke=STATUS VALUE 0xBITS ..." lines; the header line and '#'
// lines are not results.
std::vector<ExpectedLine> ReadExpected(const std::string& path) {
  std::vector<ExpectedLine> lines;
  std::ifstream in(path);
  std::string text;
  bool header = true;
  while (std::getline(in, text)) {
    if (header) {
      header = false;
      continue;
    }
    if (text.empty() || text[0] == '#') continue;
    std::istringstream tokens(text);
    ExpectedLine line{};
    std::string status;
    tokens >> line.line_number >> status;
    line.invoke_status = std::stoi(status.substr(status.find('=') + 1));
    std::string token;
    while (tokens >> token) {
      if (token.rfind("0x", 0) == 0) line.bits.push_back(static_cast<uint32_t>(std::stoul(token, nullptr, 16)));
    }
    lines.push_back(line);
  }
  return lines;
}

struct VectorCase {
  const char* model;
  const char* inputs;
  const char* expected;
};

void PrintTo(const VectorCase& c, std::ostream* os) { *os << c.model; }

class ReferenceVectors : public ::testing::TestWithParam<VectorCase> {};

TEST_P(ReferenceVectors, EveryBitPatternIsReproduced) {
  const VectorCase& c = GetParam();
  const std::string dir = tflite_test::VectorsDir();
  std::vector<uint8_t> model;
  if (!tflite_test::ReadBytes(dir + "/" + c.model, &model)) {
    GTEST_SKIP() << "reference vectors not found in " << dir;
  }
  std::ifstream input_file(dir + "/" + c.inputs);
  ASSERT_TRUE(input_file) << c.inputs;
  std::vector<VectorLine> inputs;
  std::string error;
  ASSERT_TRUE(ReadVectorLines(input_file, &inputs, &error)) << error;
  const std::vector<ExpectedLine> expected = ReadExpected(dir + "/" + c.expected);
  ASSERT_EQ(inputs.size(), expected.size());
  ASSERT_FALSE(expected.empty());

  // Once in an aligned arena as the reference run, once in one that the
  // runtime has to align itself.
  for (size_t misalignment : {0u, 9u}) {
    SCOPED_TRACE(testing::Message() << c.model << " arena misaligned by " << misalignment);
    ModelRunner runner(model, 4096, misalignment);
    ASSERT_EQ(runner.interpreter().AllocateTensors(), kTfLiteOk) << runner.messages();
    size_t mismatches = 0;
    for (size_t i = 0; i < inputs.size(); ++i) {
      ASSERT_EQ(inputs[i].line_number, expected[i].line_number);
      ASSERT_EQ(expected[i].invoke_status, 0);
      const std::vector<float> out = runner.Run(inputs[i].values);
      ASSERT_EQ(out.size(), expected[i].bits.size()) << "line " << inputs[i].line_number;
      for (size_t k = 0; k < out.size(); ++k) {
        if (Bits(out[k]) != expected[i].bits[k]) {
          ++mismatches;
          ADD_FAILURE() << "line " << inputs[i].line_number << " output " << k << ": got 0x" << std::hex
                        << Bits(out[k]) << ", expected 0x" << expected[i].bits[k];
        }
      }
    }
    EXPECT_EQ(mismatches, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Tflm, ReferenceVectors,
                         ::testing::Values(VectorCase{"mlp.tflite", "mlp_inputs.txt", "mlp_expected.txt"},
                                           VectorCase{"logistic_only.tflite", "unary_inputs.txt",
                                                      "logistic_expected.txt"},
                                           VectorCase{"softmax_only.tflite", "unary_inputs.txt",
                                                      "softmax_expected.txt"}),
                         [](const ::testing::TestParamInfo<VectorCase>& info) {
                           std::string name = info.param.model;
                           return name.substr(0, name.find('.'));
                         });

// --- Verification of model buffers ------------------------------------

bool Verifies(const uint8_t* data, size_t size) {
  flatbuffers::Verifier verifier(data, size);
  return tflite::VerifyModelBuffer(verifier);
}

TEST(TfliteModelCheck, EmbeddedFallModelVerifiesAndMeetsTheClassifierContract) {
  ASSERT_GT(fall_model_len, 8u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(fall_model) % 8, 0u);
  EXPECT_TRUE(flatbuffers::BufferHasIdentifier(fall_model, "TFL3"));
  EXPECT_TRUE(Verifies(fall_model, fall_model_len));
  ModelRunner runner(std::vector<uint8_t>(fall_model, fall_model + fall_model_len));
  ASSERT_EQ(runner.interpreter().AllocateTensors(), kTfLiteOk) << runner.messages();
  EXPECT_LE(runner.interpreter().arena_used_bytes(), 4096u);
  EXPECT_EQ(runner.interpreter().input(0)->type, kTfLiteFloat32);
  EXPECT_EQ(runner.interpreter().input(0)->bytes, 150 * sizeof(float));
  EXPECT_EQ(runner.interpreter().output(0)->type, kTfLiteFloat32);
  EXPECT_EQ(runner.interpreter().output(0)->bytes, 2 * sizeof(float));
}

TEST(TfliteModelCheck, TruncatedAndForeignBuffersFailVerification) {
  std::vector<uint8_t> model;
  if (!tflite_test::ReadBytes(tflite_test::VectorsDir() + "/mlp.tflite", &model)) {
    model.assign(fall_model, fall_model + fall_model_len);
  }
  ASSERT_TRUE(Verifies(model.data(), model.size()));
  for (size_t length : {size_t{0}, size_t{4}, size_t{8}, size_t{64}, model.size() / 2, model.size() - 4,
                        model.size() - 1}) {
    const std::vector<uint8_t> cut(model.begin(), model.begin() + static_cast<long>(length));
    EXPECT_FALSE(Verifies(cut.data(), cut.size())) << "truncated to " << length;
  }
  std::vector<uint8_t> renamed = model;
  std::memcpy(renamed.data() + 4, "TFL2", 4);
  EXPECT_FALSE(flatbuffers::BufferHasIdentifier(renamed.data(), "TFL3"));
  EXPECT_FALSE(Verifies(renamed.data(), renamed.size()));

  // Noise behind a valid identifier.
  std::vector<uint8_t> noise(2048);
  std::mt19937 random(7);
  for (auto& b : noise) b = static_cast<uint8_t>(random());
  std::memcpy(noise.data() + 4, "TFL3", 4);
  EXPECT_FALSE(Verifies(noise.data(), noise.size()));
}

// --- Kernels ------------------------------------------------------------

TEST(TfliteKernels, FullyConnectedSumsInInputOrderAndAddsTheBiasLast) {
  // In float and in order: 1e8 + 1 rounds back to 1e8, minus 1e8 gives 0,
  // and only then the bias: 1. A sum in double gives 2, a bias added first
  // gives 0.
  ModelRunner runner(BuildModel(tflite_test::FullyConnectedModel({1, 3}, 1, 3, {1.0f, 1.0f, 1.0f}, {1.0f},
                                                                   tflite::ActivationFunctionType_NONE)));
  ASSERT_EQ(runner.interpreter().AllocateTensors(), kTfLiteOk) << runner.messages();
  EXPECT_EQ(Bits(runner.Run({1e8f, 1.0f, -1e8f}).at(0)), Bits(1.0f));
}

TEST(TfliteKernels, FullyConnectedActivationClamps) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    tflite::ActivationFunctionType activation;
    float in;
    float out;
  };
  const Case cases[] = {
      {tflite::ActivationFunctionType_NONE, inf, FLT_MAX},
      {tflite::ActivationFunctionType_NONE, -inf, -FLT_MAX},
      {tflite::ActivationFunctionType_NONE, -2.5f, -2.5f},
      {tflite::ActivationFunctionType_NONE, nan, nan},
      {tflite::ActivationFunctionType_RELU, -2.5f, 0.0f},
      {tflite::ActivationFunctionType_RELU, inf, FLT_MAX},
      {tflite::ActivationFunctionType_RELU, nan, nan},
      {tflite::ActivationFunctionType_RELU6, 7.0f, 6.0f},
      {tflite::ActivationFunctionType_RELU6, -1.0f, 0.0f},
      {tflite::ActivationFunctionType_RELU_N1_TO_1, -5.0f, -1.0f},
      {tflite::ActivationFunctionType_RELU_N1_TO_1, 0.25f, 0.25f},
  };
  for (const Case& c : cases) {
    ModelRunner runner(BuildModel(tflite_test::FullyConnectedModel({1, 1}, 1, 1, {1.0f}, {0.0f}, c.activation)));
    ASSERT_EQ(runner.interpreter().AllocateTensors(), kTfLiteOk) << runner.messages();
    EXPECT_EQ(Bits(runner.Run({c.in}).at(0)), Bits(c.out))
        << "activation " << static_cast<int>(c.activation) << " on " << c.in;
  }
}

TEST(TfliteKernels, FullyConnectedMatchesPlainArithmeticForAnyUnitCountAndBatch) {
  std::mt19937 random(42);
  std::uniform_real_distribution<float> value(-3.0f, 3.0f);
  const int depth = 17;
  const int batches = 3;
  for (int units : {1, 3, 4, 5, 8, 9, 32}) {
    for (bool with_bias : {true, false}) {
      std::vector<float> weights(static_cast<size_t>(units) * depth), bias, input(batches * depth);
      for (float& w : weights) w = value(random);
      for (float& x : input) x = value(random);
      if (with_bias) {
        for (int o = 0; o < units; ++o) bias.push_back(value(random));
      }
      ModelRunner runner(BuildModel(tflite_test::FullyConnectedModel(
          {batches, depth}, units, depth, weights, bias, tflite::ActivationFunctionType_RELU, batches)));
      ASSERT_EQ(runner.interpreter().AllocateTensors(), kTfLiteOk) << runner.messages();
      const std::vector<float> out = runner.Run(input);
      ASSERT_EQ(out.size(), static_cast<size_t>(batches * units));
      for (int b = 0; b < batches; ++b) {
        for (int o = 0; o < units; ++o) {
          float total = 0.0f;
          for (int d = 0; d < depth; ++d) total += input[b * depth + d] * weights[o * depth + d];
          const float expected = std::max(total + (with_bias ? bias[o] : 0.0f), 0.0f);
          EXPECT_EQ(Bits(out[b * units + o]), Bits(expected))
              << "units " << units << " batch " << b << " output " << o << (with_bias ? "" : " without bias");
        }
      }
    }
  }
}

TEST(TfliteKernels, SoftmaxTakesBetaFromItsOptionsAndWorksPerRow) {
  const float beta = 0.5f;
  ModelRunner runner(BuildModel(tflite_test::UnaryModel(tflite::BuiltinOperator_SOFTMAX, 2, 3, beta)));
  ASSERT_EQ(runner.interpreter().AllocateTensors(), kTfLiteOk) << runner.messages();
  const std::vector<float> input = {1.0f, 2.0f, 3.0f, -7.0f, 0.0f, 40.0f};
  const std::vector<float> out = runner.Run(input);
  ASSERT_EQ(out.size(), 6u);
  for (int r = 0; r < 2; ++r) {
    const float max = std::max(std::max(input[r * 3], input[r * 3 + 1]), input[r * 3 + 2]);
    float e[3];
    float sum = 0.0f;
    for (int c = 0; c < 3; ++c) {
      e[c] = expf((input[r * 3 + c] - max) * beta);
      sum += e[c];
    }
    for (int c = 0; c < 3; ++c) EXPECT_EQ(Bits(out[r * 3 + c]), Bits(e[c] / sum)) << "row " << r << " col " << c;
  }
}

TEST(TfliteKernels, ReshapeResolvesMinusOneInItsOwnCopyOfTheShape) {
  ModelDef def;
  def.tensors = {{{2, 3, 4}, tflite::TensorType_FLOAT32, {}, "in"}, {{-1, 6}, tflite::TensorType_FLOAT32, {}, "out"}};
  OpDef reshape{tflite::BuiltinOperator_RESHAPE, {0}, {1}};
  reshape.options_type = tflite::BuiltinOptions_ReshapeOptions;
  reshape.new_shape = {-1, 6};
  def.ops = {reshape};
  def.inputs = {0};
  def.outputs = {1};
  const std::vector<uint8_t> model = BuildModel(def);
  ModelRunner runner(model);
  ASSERT_EQ(runner.interpreter().AllocateTensors(), kTfLiteOk) << runner.messages();
  const TfLiteTensor* out = runner.interpreter().output(0);
  ASSERT_EQ(out->dims->size, 2);
  EXPECT_EQ(out->dims->data[0], 4);
  EXPECT_EQ(out->dims->data[1], 6);
  EXPECT_EQ(out->bytes, 24 * sizeof(float));
  std::vector<float> input(24);
  for (int i = 0; i < 24; ++i) input[i] = static_cast<float>(i) - 11.5f;
  EXPECT_EQ(runner.Run(input), input);
  EXPECT_EQ(runner.model(), model) << "the model buffer was written to";
}

// --- Models the runtime refuses ------------------------------------------

struct RefusalCase {
  const char* name;
  std::function<void(ModelDef*)> change;
  const char* message;
};

// A two-operator graph (FULLY_CONNECTED then LOGISTIC) that each case breaks
// in one place.
ModelDef SoundGraph() {
  ModelDef def = tflite_test::FullyConnectedModel({1, 4}, 2, 4, std::vector<float>(8, 0.5f), {0.0f, 1.0f},
                                                    tflite::ActivationFunctionType_RELU);
  def.tensors.push_back({{1, 2}, tflite::TensorType_FLOAT32, {}, "probabilities"});
  def.ops.push_back({tflite::BuiltinOperator_LOGISTIC, {3}, {4}});
  def.outputs = {4};
  return def;
}

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, AllocateTensorsFailsWithAReportAndTheInterpreterStaysSafe) {
  ModelDef def = SoundGraph();
  GetParam().change(&def);
  const std::vector<uint8_t> model = BuildModel(def);
  ASSERT_TRUE(Verifies(model.data(), model.size())) << "the case should fail in the runtime, not the verifier";
  ModelRunner runner(model);
  EXPECT_EQ(runner.interpreter().AllocateTensors(), kTfLiteError);
  EXPECT_NE(runner.messages().find(GetParam().message), std::string::npos) << runner.messages();
  EXPECT_EQ(runner.interpreter().AllocateTensors(), kTfLiteError);
  EXPECT_EQ(runner.interpreter().input(0), nullptr);
  EXPECT_EQ(runner.interpreter().output(0), nullptr);
  EXPECT_EQ(runner.interpreter().Invoke(), kTfLiteError);
}

const RefusalCase kRefusals[] = {
    {"UnsupportedOperator", [](ModelDef* s) { s->ops[1].builtin = 0; }, "is not supported or not registered"},
    {"Int8Tensor", [](ModelDef* s) { s->tensors[4].type = tflite::TensorType_INT8; }, "element type INT8"},
    {"WeightsOfRankThree", [](ModelDef* s) { s->tensors[1].shape = {2, 2, 2}; }, "weights must have the shape"},
    {"InputDepthMismatch", [](ModelDef* s) { s->tensors[0].shape = {1, 5}; }, "does not match"},
    {"TanhActivation",
     [](ModelDef* s) { s->ops[0].activation = tflite::ActivationFunctionType_TANH; }, "fused activation 4"},
    {"ShuffledWeights",
     [](ModelDef* s) { s->ops[0].weights_format = tflite::FullyConnectedOptionsWeightsFormat_SHUFFLED4x16INT8; },
     "weights format 1"},
    {"OptionsOfAnotherOperator",
     [](ModelDef* s) { s->ops[0].options_type = tflite::BuiltinOptions_SoftmaxOptions; }, "do not belong"},
    {"SchemaVersionTwo", [](ModelDef* s) { s->version = 2; }, "schema version 2"},
    {"TwoSubgraphs", [](ModelDef* s) { s->subgraphs = 2; }, "exactly one subgraph"},
    {"ConstantOfWrongSize", [](ModelDef* s) { s->tensors[2].shape = {3}; }, "does not match its shape"},
    {"OperandOutOfRange", [](ModelDef* s) { s->ops[1].inputs = {9}; }, "does not exist"},
    {"ReadBeforeWritten", [](ModelDef* s) { std::swap(s->ops[0], s->ops[1]); }, "before anything writes it"},
    {"VariableTensor", [](ModelDef* s) { s->tensors[3].is_variable = true; }, "variable tensors"},
    {"OutputNeverWritten", [](ModelDef* s) { s->ops.pop_back(); }, "never written"},
    {"WritesAConstant", [](ModelDef* s) { s->ops[1].outputs = {2}; }, "writes constant tensor"},
    {"ConstantGraphInput", [](ModelDef* s) { s->inputs = {1}; }, "missing or constant"},
    {"TensorWrittenTwice", [](ModelDef* s) { s->ops[1].outputs = {3}; }, "written a second time"},
    {"UnresolvedShape", [](ModelDef* s) { s->tensors[0].shape = {-1, 4}; }, "does not match"},
};

INSTANTIATE_TEST_SUITE_P(Tflite, Refusals, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// The control for the table above: intact, the graph runs.
TEST(TfliteModelCheck, TheGraphTheRefusalsBreakRunsWhenIntact) {
  ModelRunner runner(BuildModel(SoundGraph()));
  ASSERT_EQ(runner.interpreter().AllocateTensors(), kTfLiteOk) << runner.messages();
  const std::vector<float> out = runner.Run({1.0f, 2.0f, 3.0f, 4.0f});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(Bits(out[0]), Bits(1.0f / (1.0f + expf(-5.0f))));
  EXPECT_EQ(Bits(out[1]), Bits(1.0f / (1.0f + expf(-6.0f))));
}

TEST(TfliteModelCheck, OperatorCodesInTheEightBitFieldOnlyAreRead) {
  ModelDef def = SoundGraph();
  def.narrow_codes_only = true;
  ModelRunner runner(BuildModel(def));
  ASSERT_EQ(runner.interpreter().AllocateTensors(), kTfLiteOk) << runner.messages();
  EXPECT_EQ(runner.Run({1.0f, 2.0f, 3.0f, 4.0f}).size(), 2u);
}

TEST(TfliteModelCheck, AnOperatorMissingFromTheResolverIsRefused) {
  const std::vector<uint8_t> model = BuildModel(SoundGraph());
  tflite_test::CapturingReporter reporter;
  tflite::MicroMutableOpResolver<1> resolver;
  resolver.AddFullyConnected();
  alignas(16) uint8_t arena[4096];
  tflite::MicroInterpreter interpreter(tflite::GetModel(model.data()), resolver, arena, sizeof(arena), &reporter);
  EXPECT_EQ(interpreter.AllocateTensors(), kTfLiteError);
  EXPECT_NE(reporter.messages.find("LOGISTIC (14)"), std::string::npos) << reporter.messages;
}

// --- Arena ----------------------------------------------------------------

std::vector<uint8_t> ReferenceMlpOrFallModel() {
  std::vector<uint8_t> model;
  if (!tflite_test::ReadBytes(tflite_test::VectorsDir() + "/mlp.tflite", &model)) {
    model.assign(fall_model, fall_model + fall_model_len);
  }
  return model;
}

TEST(TfliteArena, ArenaUsedBytesIsTheSmallestArenaThatWorks) {
  const std::vector<uint8_t> model = ReferenceMlpOrFallModel();
  ModelRunner roomy(model, 4096);
  ASSERT_EQ(roomy.interpreter().AllocateTensors(), kTfLiteOk) << roomy.messages();
  const size_t used = roomy.interpreter().arena_used_bytes();
  ASSERT_GT(used, 0u);
  ASSERT_LE(used, 4096u);

  ModelRunner exact(model, used);
  EXPECT_EQ(exact.interpreter().AllocateTensors(), kTfLiteOk) << exact.messages();
  EXPECT_EQ(exact.interpreter().arena_used_bytes(), used);
  std::vector<float> window(150, 1.0f);
  EXPECT_EQ(exact.Run(window), roomy.Run(window));

  for (size_t size : {used - 1, used / 2, size_t{64}, size_t{1}, size_t{0}}) {
    ModelRunner small(model, size);
    EXPECT_EQ(small.interpreter().AllocateTensors(), kTfLiteError) << "arena of " << size;
    EXPECT_NE(small.messages().find("too small"), std::string::npos) << small.messages();
    EXPECT_EQ(small.interpreter().input(0), nullptr);
    EXPECT_EQ(small.interpreter().Invoke(), kTfLiteError);
  }
}

TEST(TfliteArena, TensorsLiveInsideTheArenaAlignedAndShareOnlyWhenLifetimesAllow) {
  const std::vector<uint8_t> model = ReferenceMlpOrFallModel();
  for (size_t misalignment : {0u, 3u}) {
    ModelRunner runner(model, 4096, misalignment);
    tflite::MicroInterpreter& interpreter = runner.interpreter();
    ASSERT_EQ(interpreter.AllocateTensors(), kTfLiteOk) << runner.messages();
    const tflite::SubGraph* graph = tflite::GetModel(runner.model().data())->subgraphs()->Get(0);
    const int count = static_cast<int>(interpreter.tensors_size());
    const int ops = static_cast<int>(graph->operators()->size());
    // Lifetimes as the time steps of the graph: 0 inputs, k + 1 operator k,
    // ops + 1 outputs.
    std::vector<int> first(count, -1), last(count, -1);
    for (int t : *graph->inputs()) first[t] = last[t] = 0;
    for (int k = 0; k < ops; ++k) {
      const tflite::Operator* op = graph->operators()->Get(k);
      for (int t : *op->inputs()) {
        if (t >= 0) last[t] = k + 1;
      }
      for (int t : *op->outputs()) first[t] = last[t] = k + 1;
    }
    for (int t : *graph->outputs()) last[t] = ops + 1;

    const uint8_t* model_begin = runner.model().data();
    const uint8_t* model_end = model_begin + runner.model().size();
    bool shared = false;
    for (int a = 0; a < count; ++a) {
      const TfLiteTensor* ta = interpreter.tensor(a);
      const auto* pa = reinterpret_cast<const uint8_t*>(ta->data.raw_const);
      if (ta->allocation_type == kTfLiteMmapRo) {
        EXPECT_TRUE(pa >= model_begin && pa + ta->bytes <= model_end) << "constant " << a << " not read in place";
        continue;
      }
      ASSERT_NE(pa, nullptr) << "tensor " << a;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(pa) % 16, 0u) << "tensor " << a;
      EXPECT_GE(pa, runner.arena());
      EXPECT_LE(pa + ta->bytes, runner.arena() + 4096);
      for (int b = a + 1; b < count; ++b) {
        const TfLiteTensor* tb = interpreter.tensor(b);
        if (tb->allocation_type != kTfLiteArenaRw) continue;
        const auto* pb = reinterpret_cast<const uint8_t*>(tb->data.raw_const);
        const bool bytes_overlap = pa < pb + tb->bytes && pb < pa + ta->bytes;
        const bool alive_together = first[a] <= last[b] && first[b] <= last[a];
        if (alive_together) {
          EXPECT_FALSE(bytes_overlap) << "tensors " << a << " and " << b << " collide";
        }
        shared = shared || bytes_overlap;
      }
    }
    EXPECT_TRUE(shared) << "no tensor reuses the memory of a dead one";
  }
}

TEST(TfliteArena, PlannerPlacesDisjointLifetimesOnTheSameBytes) {
  tflite::PlannedBuffer buffers[] = {{100, 0, 1, 0}, {100, 2, 3, 0}, {50, 1, 2, 0}, {0, 0, 3, 0}};
  int order[4];
  const size_t span = tflite::PlanBuffers(buffers, order, 4, 16);
  EXPECT_EQ(buffers[0].offset, 0u);
  EXPECT_EQ(buffers[1].offset, 0u);    // lives after the first one has died
  EXPECT_EQ(buffers[2].offset, 112u);  // overlaps both in time; 100 rounded up to 16
  EXPECT_EQ(span, 176u);
}

// --- Interpreter lifecycle and reporting ----------------------------------

TEST(TfliteInterpreter, AccessorsBeforeAllocationAndInvokeThatAllocates) {
  ModelRunner runner(BuildModel(SoundGraph()));
  tflite::MicroInterpreter& interpreter = runner.interpreter();
  EXPECT_EQ(interpreter.input(0), nullptr);
  EXPECT_NE(runner.messages().find("not allocated"), std::string::npos);
  EXPECT_EQ(interpreter.arena_used_bytes(), 0u);
  EXPECT_EQ(interpreter.Invoke(), kTfLiteOk) << runner.messages();
  EXPECT_NE(interpreter.input(0), nullptr);
  EXPECT_EQ(interpreter.input(1), nullptr);
  EXPECT_EQ(interpreter.output(1), nullptr);
  EXPECT_EQ(interpreter.inputs_size(), 1u);
  EXPECT_EQ(interpreter.outputs_size(), 1u);
  EXPECT_EQ(interpreter.AllocateTensors(), kTfLiteOk);
}

TEST(TfliteInterpreter, NullModelIsReportedNotDereferenced) {
  tflite_test::CapturingReporter reporter;
  tflite::MicroMutableOpResolver<4> resolver;
  alignas(16) uint8_t arena[256];
  tflite::MicroInterpreter interpreter(nullptr, resolver, arena, sizeof(arena), &reporter);
  EXPECT_EQ(interpreter.initialization_status(), kTfLiteError);
  EXPECT_EQ(interpreter.AllocateTensors(), kTfLiteError);
  EXPECT_EQ(interpreter.Invoke(), kTfLiteError);
  EXPECT_EQ(interpreter.input(0), nullptr);
  EXPECT_EQ(interpreter.inputs_size(), 0u);
}

TEST(TfliteErrorReporting, MicroErrorReporterShowsNothing) {
  tflite::MicroErrorReporter reporter;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  TF_LITE_REPORT_ERROR(&reporter, "arena of %d bytes too small", 12);
  reporter.ReportError(nullptr, "%s", "second message");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(TfliteErrorReporting, ResolverRefusesDuplicatesAndOverflowQuietlyWithoutAReporter) {
  tflite_test::CapturingReporter reporter;
  tflite::MicroMutableOpResolver<2> resolver(&reporter);
  EXPECT_EQ(resolver.AddFullyConnected(), kTfLiteOk);
  EXPECT_EQ(resolver.AddFullyConnected(), kTfLiteError);
  EXPECT_EQ(resolver.AddLogistic(), kTfLiteOk);
  EXPECT_EQ(resolver.AddSoftmax(), kTfLiteError);
  EXPECT_EQ(resolver.GetRegistrationLength(), 2u);
  EXPECT_NE(resolver.FindOp(tflite::BuiltinOperator_LOGISTIC), nullptr);
  EXPECT_EQ(resolver.FindOp(tflite::BuiltinOperator_SOFTMAX), nullptr);
  EXPECT_NE(reporter.messages.find("already registered"), std::string::npos) << reporter.messages;
  EXPECT_NE(reporter.messages.find("full"), std::string::npos) << reporter.messages;

  tflite::MicroMutableOpResolver<1> quiet;
  EXPECT_EQ(quiet.AddReshape(), kTfLiteOk);
  EXPECT_EQ(quiet.AddReshape(), kTfLiteError);
  EXPECT_EQ(quiet.AddSoftmax(), kTfLiteError);
}

}  // namespace
