// TUMBLIX_MODEL: a model file in place of the built-in one, read and checked
// once before any replay.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tests/tflite_test_models.h"
#include "tumblix/ml/fall_classifier.h"

namespace {

using test_support::KFallRecording;
using test_support::ReadFile;
using test_support::RunIn;
using test_support::TempDir;
using test_support::WriteFile;

const std::string kBuiltInModel =
    std::string(TUMBLEBENCH_SOURCE_DIR) + "/tumblix/ml/models/fall_model.tflite";

// Sets TUMBLIX_MODEL for the programs this test starts.
class ModelVariable {
 public:
  explicit ModelVariable(const std::string& path) { setenv("TUMBLIX_MODEL", path.c_str(), 1); }
  ~ModelVariable() { unsetenv("TUMBLIX_MODEL"); }
};

// A trial at half a g, so the detection window is open from sample 25 on.
void WriteLowAccelerationTrial(const TempDir& dir) {
  WriteFile(dir.File("S01T20R01.csv"), KFallRecording(120, 0.0, -0.5, 0.0, 30.0));
}

// The trace column `column` (0-based) of every row after the title.
std::vector<std::string> TraceColumn(const std::string& path, size_t column) {
  std::vector<std::string> values;
  const std::vector<std::string> lines = test_support::ReadLines(path);
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t start = 0;
    for (size_t c = 0; c < column; ++c) start = lines[i].find(',', start) + 1;
    values.push_back(lines[i].substr(start, lines[i].find(',', start) - start));
  }
  return values;
}

TEST(RunModel, TheBuiltInModelAsAFileGivesTheSameBytes) {
  TempDir dir;
  WriteLowAccelerationTrial(dir);
  const auto built_in = RunIn(dir.path(), "-f S01T20R01.csv 40 100");
  const std::string built_in_trace = ReadFile(dir.File("S01T20R01_DSV.csv"));
  ModelVariable model(kBuiltInModel);
  const auto from_file = RunIn(dir.path(), "-f S01T20R01.csv 40 100");
  EXPECT_EQ(from_file.status, 0) << from_file.err;
  EXPECT_EQ(from_file.out, built_in.out);
  EXPECT_EQ(ReadFile(dir.File("S01T20R01_DSV.csv")), built_in_trace);
  EXPECT_NE(built_in.out.find("DETECT-1"), std::string::npos);
}

TEST(RunModel, EveryDetectorRunsTheFileModel) {
  TempDir dir;
  WriteLowAccelerationTrial(dir);
  // Scores that are input elements: normal = accX x 500 of the oldest sample
  // (0), down = accY x 500 of the newest (-250), so the trace shows -25000.
  const std::string path = dir.File("probe.tflite");
  ASSERT_TRUE(tflite_test::WriteBytes(path, tflite_test::BuildModel(tflite_test::ProbeModel({0, 145}))));
  ModelVariable model(path);
  const auto run = RunIn(dir.path(), "-f S01T20R01.csv");
  ASSERT_EQ(run.status, 0) << run.err;
  const auto down = TraceColumn(dir.File("S01T20R01_DSV.csv"), 17);
  ASSERT_EQ(down.size(), 60u);
  EXPECT_EQ(down[23], "0");  // sample 24: no inference yet
  for (size_t i = 24; i < down.size(); ++i) EXPECT_EQ(down[i], "-25000") << "sample " << i + 1;
  EXPECT_NE(run.out.find("TF -250.00"), std::string::npos);
}

TEST(RunModel, AnUnusableModelEndsTheRunBeforeAnyReplay) {
  TempDir dir;
  WriteLowAccelerationTrial(dir);
  std::vector<uint8_t> built_in;
  ASSERT_TRUE(tflite_test::ReadBytes(kBuiltInModel, &built_in));
  const std::vector<uint8_t> truncated(built_in.begin(), built_in.begin() + 4000);
  // 1200 outputs of 4 bytes cannot fit the 4096-byte arena.
  const auto too_big = tflite_test::BuildModel(tflite_test::FullyConnectedModel(
      {1, 150}, 1200, 150, std::vector<float>(1200 * 150, 0.0f), std::vector<float>(1200, 0.0f),
      tflite::ActivationFunctionType_NONE));
  const auto three_scores = tflite_test::BuildModel(tflite_test::ProbeModel({0, 1, 2}));
  // One weight or bias that is no number: every score would be NaN, and the
  // rules that read the score would never fire.
  tflite_test::ModelDef nan_weight = tflite_test::ProbeModel({0, 145});
  std::vector<float> weights(2 * 150, 0.0f);
  weights[17] = std::numeric_limits<float>::quiet_NaN();
  nan_weight.tensors[3].data = tflite_test::Bytes(weights);
  tflite_test::ModelDef infinite_bias = tflite_test::ProbeModel({0, 145});
  infinite_bias.tensors[4].data = tflite_test::Bytes(std::vector<float>{0.0f, -HUGE_VALF});
  ASSERT_TRUE(tflite_test::WriteBytes(dir.File("truncated.tflite"), truncated));
  ASSERT_TRUE(tflite_test::WriteBytes(dir.File("too_big.tflite"), too_big));
  ASSERT_TRUE(tflite_test::WriteBytes(dir.File("three_scores.tflite"), three_scores));
  ASSERT_TRUE(tflite_test::WriteBytes(dir.File("nan_weight.tflite"), tflite_test::BuildModel(nan_weight)));
  ASSERT_TRUE(tflite_test::WriteBytes(dir.File("infinite_bias.tflite"), tflite_test::BuildModel(infinite_bias)));
  ASSERT_TRUE(tflite_test::WriteBytes(dir.File("text.tflite"), std::vector<uint8_t>(20, 'x')));
  mkfifo(dir.File("fifo.tflite").c_str(), 0644);

  const struct {
    const char* file;
    const char* reason;
  } cases[] = {
      {"missing.tflite", "No such file or directory"},
      {"fifo.tflite", "not a regular file"},
      {"text.tflite", "the file of 20 bytes does not carry the identifier \"TFL3\""},
      {"truncated.tflite", "not a well-formed TFLite flatbuffer"},
      {"too_big.tflite", "arena too small"},
      {"three_scores.tflite", "must take 150 float32 values and give 2"},
      {"nan_weight.tflite", "Tensor 3 ('weights'): element 17 of its constant data is nan"},
      {"infinite_bias.tflite", "Tensor 4 ('bias'): element 1 of its constant data is -inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    ModelVariable model(dir.File(c.file));
    const auto run = RunIn(dir.path(), "-f S01T20R01.csv");
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "");  // no replay, no report
    EXPECT_NE(run.err.find(c.file), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("S01T20R01_DSV.csv")));
}

// A file past the size limit is refused on its size alone, before any of
// it is read: a file over 2 GiB once sent the classifier's own loader
// message to standard output, and one just under was read whole (4 GB, a
// minute) before its identifier was looked at. The files are sparse.
TEST(RunModel, ModelFilesPastTheSizeLimitAreRefusedUnread) {
  TempDir dir;
  WriteLowAccelerationTrial(dir);
  const std::string identified = std::string("\x1c\0\0\0TFL3", 8);
  const struct {
    const char* file;
    off_t size;
    const std::string head;
  } cases[] = {
      {"over_2_gib.tflite", (off_t{1} << 31) + 1, identified},
      {"int32_max.tflite", INT32_MAX, std::string(8, 'x')},
      {"one_past_the_limit.tflite", off_t{kModelFileMaxBytes} + 1, identified},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    WriteFile(dir.File(c.file), c.head);
    ASSERT_EQ(truncate(dir.File(c.file).c_str(), c.size), 0);
    ModelVariable model(dir.File(c.file));
    const auto run = RunIn(dir.path(), "-f S01T20R01.csv");
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "tumblebench: " + dir.File(c.file) + " (TUMBLIX_MODEL), the model cannot be used: the file is " +
                           std::to_string(c.size) + " bytes, more than the 16777216 bytes a model file may have. "
                           "Nothing was replayed.\n");
  }
}

// dump_windows refuses a model as tumblebench does, with the same status.
TEST(RunModel, DumpWindowsRefusesAnUnusableModelWithTheSameStatus) {
  TempDir dir;
  WriteLowAccelerationTrial(dir);
  ASSERT_TRUE(tflite_test::WriteBytes(dir.File("three_scores.tflite"),
                                      tflite_test::BuildModel(tflite_test::ProbeModel({0, 1, 2}))));
  ModelVariable model(dir.File("three_scores.tflite"));
  const std::string dump_windows = std::string(TUMBLEBENCH_BINARY_DIR) + "/tools/dump_windows";
  int status = -1;
  const std::string out = test_support::RunCommand(
      "cd '" + dir.path().string() + "' && '" + dump_windows + "' S01T20R01.csv dump.csv 2>err", &status);
  EXPECT_EQ(status, 3);
  EXPECT_EQ(out, "");
  EXPECT_NE(ReadFile(dir.File("err")).find("must take 150 float32 values and give 2"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("dump.csv")));
}

TEST(RunModel, MalformedArgumentsStillGiveTheUsageText) {
  TempDir dir;
  ModelVariable model(dir.File("missing.tflite"));
  const auto usage = RunIn(dir.path(), "-x a");
  EXPECT_EQ(usage.status, 1);
  EXPECT_EQ(usage.out.rfind("Usage: tumblebench", 0), 0u);
  EXPECT_EQ(usage.err, "");
}

}  // namespace
