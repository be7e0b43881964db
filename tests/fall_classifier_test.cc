// The fall classifier: sliding window, oldest-first copy into the model's
// input, inference on demand, model files and their failures, ownership.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/tflite_test_models.h"
#include "tumblix/ml/fall_classifier.h"
#include "tumblix/ml/fall_model.h"
#include "tumblix/ml/runtime/tflite_micro.h"

namespace {

using tflite_test::Bits;
using tflite_test::BuildModel;

// Sample n of a numbered stream: every value tells the sample and channel,
// and the accelerations (quarters) times 500 are exact.
std::vector<float> Sample(int n) {
  return {n * 0.25f, n * -0.5f, n * 0.75f, 100.0f + n, 200.0f + n, 300.0f + n};
}

// What element `channel` of the row holding sample n must read.
float WindowValue(int n, int channel) {
  const std::vector<float> s = Sample(n);
  return channel < 3 ? s[channel] * 500.0f : s[channel];
}

// A configuration that hands the classifier its own heap copy of `model`.
FallClassifierConfig ConfigOwning(const std::vector<uint8_t>& model) {
  FallClassifierConfig config;
  ml_tumblix_default_config(&config);
  config.model_data = static_cast<uint8_t*>(std::malloc(model.size()));
  std::memcpy(config.model_data, model.data(), model.size());
  config.model_size = static_cast<int32_t>(model.size());
  return config;
}

struct ClassifierDeleter {
  void operator()(FallClassifier* c) const {
    ml_tumblix_destroy(c);
    delete c;
  }
};
using ClassifierPtr = std::unique_ptr<FallClassifier, ClassifierDeleter>;

// Null when create fails (the storage is then released here).
ClassifierPtr Create(const FallClassifierConfig& config) {
  auto* storage = new FallClassifier;
  if (ml_tumblix_create(storage, &config) != storage) {
    delete storage;
    return nullptr;
  }
  return ClassifierPtr(storage);
}

ClassifierPtr CreateDefault() {
  FallClassifierConfig config;
  ml_tumblix_default_config(&config);
  return Create(config);
}

std::string TempPath(const std::string& name) { return ::testing::TempDir() + "/fall_classifier_" + name; }

// --- Window -----------------------------------------------------------------

TEST(FallClassifierWindow, FeedsFillRowsInOrderAndTheRingWraps) {
  ClassifierPtr c = CreateDefault();
  ASSERT_NE(c, nullptr);
  const float one_g[6] = {1, 0, 0, 0, 0, 0};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ml_tumblix_feed(c.get(), one_g, 0), 0);
  EXPECT_EQ(c->window_pos, 3);
  for (int r = 0; r < kClassifierWindowRows; ++r) {
    for (int j = 0; j < 6; ++j) {
      EXPECT_EQ(c->window[r][j], (r < 3 && j == 0) ? 500.0f : 0.0f) << "row " << r << " element " << j;
    }
  }

  ClassifierPtr ring = CreateDefault();
  ASSERT_NE(ring, nullptr);
  for (int n = 1; n <= 25; ++n) ml_tumblix_feed(ring.get(), Sample(n).data(), 0);
  EXPECT_EQ(ring->window_pos, 0);
  EXPECT_EQ(ring->window[24][3], WindowValue(25, 3));
  ml_tumblix_feed(ring.get(), Sample(26).data(), 0);
  EXPECT_EQ(ring->window_pos, 1);
  EXPECT_EQ(ring->window[0][0], WindowValue(26, 0));
  EXPECT_EQ(ring->window[1][0], WindowValue(2, 0));
}

TEST(FallClassifierWindow, AccelerationIsScaledBy500InFloatAndRatesPassUnchanged) {
  ClassifierPtr c = CreateDefault();
  ASSERT_NE(c, nullptr);
  const float sample[6] = {0.1f, -0.3f, 1.7f, 250.0f, -12.5f, 3.0f};
  ml_tumblix_feed(c.get(), sample, 0);
  EXPECT_EQ(Bits(c->window[0][0]), Bits(0.1f * 500.0f));
  EXPECT_EQ(Bits(c->window[0][1]), Bits(-0.3f * 500.0f));
  EXPECT_EQ(Bits(c->window[0][2]), Bits(1.7f * 500.0f));
  EXPECT_EQ(c->window[0][3], 250.0f);
  EXPECT_EQ(c->window[0][4], -12.5f);
  EXPECT_EQ(c->window[0][5], 3.0f);
}

// --- What reaches the model -------------------------------------------------

// The 150 input values of an inference run on the last of `feeds` numbered
// samples, seen through probe models that copy two input elements each to
// their outputs.
std::vector<float> InputSeenAfter(int feeds) {
  std::vector<float> seen(150);
  for (int e = 0; e < 150; e += 2) {
    ClassifierPtr c = Create(ConfigOwning(BuildModel(tflite_test::ProbeModel({e, e + 1}))));
    if (c == nullptr) {
      ADD_FAILURE() << "probe model for elements " << e << " was refused";
      return {};
    }
    for (int n = 1; n <= feeds; ++n) {
      const int result = ml_tumblix_feed(c.get(), Sample(n).data(), n == feeds ? 1 : 0);
      if (n == feeds) {
        EXPECT_EQ(result, 0);
      }
    }
    seen[e] = ml_tumblix_score(c.get(), 0);
    seen[e + 1] = ml_tumblix_score(c.get(), 1);
  }
  return seen;
}

TEST(FallClassifierInference, InputHoldsTheLast25SamplesOldestFirst) {
  for (int feeds : {30, 25, 51}) {
    const std::vector<float> seen = InputSeenAfter(feeds);
    ASSERT_EQ(seen.size(), 150u);
    for (int i = 0; i < 25; ++i) {
      for (int j = 0; j < 6; ++j) {
        EXPECT_EQ(Bits(seen[i * 6 + j]), Bits(WindowValue(feeds - 24 + i, j)))
            << "after " << feeds << " feeds, element " << i * 6 + j;
      }
    }
  }
}

TEST(FallClassifierInference, AnEarlyInferenceSeesZeroRowsAtTheOldEnd) {
  const std::vector<float> seen = InputSeenAfter(3);
  ASSERT_EQ(seen.size(), 150u);
  for (int i = 0; i < 25; ++i) {
    for (int j = 0; j < 6; ++j) {
      const float expected = i < 22 ? 0.0f : WindowValue(i - 21, j);
      EXPECT_EQ(Bits(seen[i * 6 + j]), Bits(expected)) << "element " << i * 6 + j;
    }
  }
}

TEST(FallClassifierInference, OnlyANonzeroInferRunsTheModelAndTheOutputHoldsUntilThen) {
  // Outputs: accX and gyroZ of the newest sample.
  ClassifierPtr c = Create(ConfigOwning(BuildModel(tflite_test::ProbeModel({144, 149}))));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(ml_tumblix_score(c.get(), 0), 0.0f);
  EXPECT_EQ(ml_tumblix_score(c.get(), 1), 0.0f);
  for (int n = 1; n <= 24; ++n) ml_tumblix_feed(c.get(), Sample(n).data(), 0);
  EXPECT_EQ(ml_tumblix_score(c.get(), 1), 0.0f);
  EXPECT_EQ(ml_tumblix_feed(c.get(), Sample(25).data(), 1), 0);
  EXPECT_EQ(ml_tumblix_score(c.get(), 0), WindowValue(25, 0));
  EXPECT_EQ(ml_tumblix_score(c.get(), 1), WindowValue(25, 5));

  EXPECT_EQ(ml_tumblix_feed(c.get(), Sample(26).data(), 0), 0);
  EXPECT_EQ(ml_tumblix_score(c.get(), 0), WindowValue(25, 0));
  EXPECT_EQ(ml_tumblix_score(c.get(), 1), WindowValue(25, 5));

  EXPECT_EQ(ml_tumblix_feed(c.get(), Sample(27).data(), 7), 0);
  EXPECT_EQ(ml_tumblix_score(c.get(), 1), WindowValue(27, 5));
  EXPECT_EQ(ml_tumblix_feed(c.get(), Sample(28).data(), -1), 0);
  EXPECT_EQ(ml_tumblix_score(c.get(), 1), WindowValue(28, 5));

  EXPECT_EQ(ml_tumblix_score(c.get(), 2), 0.0f);
  EXPECT_EQ(ml_tumblix_score(c.get(), -1), 0.0f);
}

TEST(FallClassifierInference, BuiltInModelScoresMatchTheInterpreterOnTheSameWindow) {
  ClassifierPtr c = CreateDefault();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(ml_tumblix_score(c.get(), 0), 0.0f);
  EXPECT_EQ(ml_tumblix_score(c.get(), 1), 0.0f);
  tflite_test::ModelRunner reference(std::vector<uint8_t>(fall_model, fall_model + fall_model_len));
  ASSERT_EQ(reference.interpreter().AllocateTensors(), kTfLiteOk) << reference.messages();

  std::mt19937 random(3);
  std::uniform_int_distribution<int> counts(-32768, 32767);
  std::vector<std::vector<float>> samples;
  for (int n = 1; n <= 60; ++n) {
    std::vector<float> s(6);
    for (int j = 0; j < 3; ++j) s[j] = static_cast<float>(counts(random)) / 8192.0f;
    for (int j = 3; j < 6; ++j) s[j] = static_cast<float>(counts(random)) / 65.536f;
    samples.push_back(s);
    const bool infer = n >= 25 && n % 5 == 0;
    ASSERT_EQ(ml_tumblix_feed(c.get(), s.data(), infer ? 1 : 0), 0);
    if (!infer) continue;
    std::vector<float> window;
    for (int k = n - 25; k < n; ++k) {
      for (int j = 0; j < 6; ++j) window.push_back(j < 3 ? samples[k][j] * 500.0f : samples[k][j]);
    }
    const std::vector<float> expected = reference.Run(window);
    ASSERT_EQ(expected.size(), 2u);
    EXPECT_EQ(Bits(ml_tumblix_score(c.get(), 0)), Bits(expected[0])) << "sample " << n;
    EXPECT_EQ(Bits(ml_tumblix_score(c.get(), 1)), Bits(expected[1])) << "sample " << n;
    EXPECT_EQ(ml_tumblix_score(c.get(), 1), c->output->data.f[1]);
  }
}

// --- Model files ------------------------------------------------------------

TEST(FallClassifierLoadModel, NullPathSelectsTheBuiltInModel) {
  FallClassifierConfig config;
  uint8_t not_heap[4];
  config.model_data = not_heap;
  config.model_size = 4;
  EXPECT_EQ(ml_tumblix_load_model(&config, nullptr), 0);
  EXPECT_EQ(config.model_data, nullptr);
  EXPECT_EQ(config.model_size, 0);
}

TEST(FallClassifierLoadModel, PathsThatCannotBeOpenedAreNamedOnStdout) {
  for (const std::string& path : {std::string("/nonexistent/dir/model.tflite"), ::testing::TempDir()}) {
    FallClassifierConfig config;
    ml_tumblix_default_config(&config);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ml_tumblix_load_model(&config, path.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ml_tumblix : " + path + ", not opened.\n");
    EXPECT_EQ(config.model_data, nullptr);
    EXPECT_EQ(config.model_size, 0);
  }
}

TEST(FallClassifierLoadModel, ReadsEveryByteOfTheFile) {
  std::vector<uint8_t> bytes(3001);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  const std::string path = TempPath("bytes.bin");
  ASSERT_TRUE(tflite_test::WriteBytes(path, bytes));
  FallClassifierConfig config;
  testing::internal::CaptureStdout();
  EXPECT_EQ(ml_tumblix_load_model(&config, path.c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_NE(config.model_data, nullptr);
  ASSERT_EQ(config.model_size, 3001);
  EXPECT_EQ(std::vector<uint8_t>(config.model_data, config.model_data + config.model_size), bytes);
  std::free(config.model_data);
  std::remove(path.c_str());
}

// The classifier's contract (150 floats in, 2 out) with a hidden layer of
// 1100 units: its 4400 bytes cannot fit the 4096-byte arena.
tflite_test::ModelDef WideHiddenLayerModel() {
  tflite_test::ModelDef def = tflite_test::ProbeModel(std::vector<int>(1100, 0));
  def.tensors.push_back({{2, 1100}, tflite::TensorType_FLOAT32,
                          tflite_test::Bytes(std::vector<float>(2200, 0.001f)), "weights_2"});
  def.tensors.push_back({{1, 2}, tflite::TensorType_FLOAT32, {}, "scores_2"});
  tflite_test::OpDef fc{tflite::BuiltinOperator_FULLY_CONNECTED, {5, 6, -1}, {7}};
  fc.options_type = tflite::BuiltinOptions_FullyConnectedOptions;
  def.ops.push_back(fc);
  def.outputs = {7};
  return def;
}

struct BadModel {
  const char* name;
  std::vector<uint8_t> bytes;
};

std::vector<BadModel> BadModels() {
  std::vector<uint8_t> good(fall_model, fall_model + fall_model_len);
  std::vector<BadModel> bad;
  bad.push_back({"empty", {}});
  bad.push_back({"truncated", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 3)});
  std::vector<uint8_t> renamed = good;
  renamed.at(7) = '2';  // "TFL2"
  bad.push_back({"wrong identifier", renamed});
  bad.push_back({"text file", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', ' ', 'm', 'o', 'd', 'e', 'l', '\n'}});
  bad.push_back({"24-row input", BuildModel(tflite_test::ProbeModel({0, 1}, 24))});
  bad.push_back({"three outputs", BuildModel(tflite_test::ProbeModel({0, 1, 2}))});
  tflite_test::ModelDef add = tflite_test::ProbeModel({0, 1});
  add.ops[1].builtin = 0;  // ADD
  add.ops[1].options_type = tflite::BuiltinOptions_NONE;
  bad.push_back({"unsupported operator", BuildModel(add)});
  bad.push_back({"arena too small", BuildModel(WideHiddenLayerModel())});
  return bad;
}

TEST(FallClassifierCreate, TheWideModelFailsOnlyForWantOfArena) {
  tflite_test::ModelRunner runner(BuildModel(WideHiddenLayerModel()), kClassifierArenaSize);
  EXPECT_EQ(runner.interpreter().AllocateTensors(), kTfLiteError);
  EXPECT_NE(runner.messages().find("too small"), std::string::npos) << runner.messages();
  tflite_test::ModelRunner roomy(BuildModel(WideHiddenLayerModel()), 16 * kClassifierArenaSize);
  EXPECT_EQ(roomy.interpreter().AllocateTensors(), kTfLiteOk) << roomy.messages();
}

TEST(FallClassifierCreate, UnusableModelFilesGiveNullAndReleaseEverything) {
  // LeakSanitizer, in the sanitizer build, checks that create released the
  // runtime objects and the model buffer it was handed.
  for (const BadModel& model : BadModels()) {
    SCOPED_TRACE(model.name);
    const std::string path = TempPath("bad.tflite");
    ASSERT_TRUE(tflite_test::WriteBytes(path, model.bytes));
    FallClassifierConfig config;
    ml_tumblix_default_config(&config);
    ASSERT_EQ(ml_tumblix_load_model(&config, path.c_str()), 0);
    ASSERT_NE(config.model_data, nullptr);
    testing::internal::CaptureStdout();
    auto* storage = new FallClassifier;
    EXPECT_EQ(ml_tumblix_create(storage, &config), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "runtime messages must stay off the console";
    delete storage;
    std::remove(path.c_str());
  }
}

TEST(FallClassifierCreate, ModelFromAFileRunsAndReportsItsArena) {
  std::vector<uint8_t> model;
  if (!tflite_test::ReadBytes(tflite_test::VectorsDir() + "/mlp.tflite", &model)) {
    model.assign(fall_model, fall_model + fall_model_len);
  }
  const std::string path = TempPath("good.tflite");
  ASSERT_TRUE(tflite_test::WriteBytes(path, model));
  FallClassifierConfig config;
  ml_tumblix_default_config(&config);
  ASSERT_EQ(ml_tumblix_load_model(&config, path.c_str()), 0);
  ClassifierPtr c = Create(config);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->config.model_data, config.model_data);
  for (int n = 1; n <= 25; ++n) ml_tumblix_feed(c.get(), Sample(n).data(), n == 25);
  EXPECT_GT(ml_tumblix_score(c.get(), 0), 0.0f);
  EXPECT_LE(ml_tumblix_score(c.get(), 0), 1.0f);

  const size_t used = c->interpreter->arena_used_bytes();
  EXPECT_GT(used, 0u);
  EXPECT_LE(used, static_cast<size_t>(kClassifierArenaSize));
  testing::internal::CaptureStdout();
  ml_tumblix_print_arena(c.get());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "arena_used_bytes : " + std::to_string(used) + "\r\n");
  std::remove(path.c_str());
}

TEST(FallClassifierDestroy, BuiltInModelIsNeverReleasedAndStorageCanBeReused) {
  // Freeing the built-in array would be caught by the sanitizer build; here
  // the same storage serves two classifiers in turn.
  auto* storage = new FallClassifier;
  FallClassifierConfig config;
  ml_tumblix_default_config(&config);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(ml_tumblix_create(storage, &config), storage);
    EXPECT_EQ(storage->config.model_data, nullptr);
    for (int n = 1; n <= 25; ++n) ml_tumblix_feed(storage, Sample(n).data(), n == 25);
    ml_tumblix_destroy(storage);
  }
  delete storage;
  EXPECT_TRUE(flatbuffers::BufferHasIdentifier(fall_model, "TFL3"));
}

}  // namespace
