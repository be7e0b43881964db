// Input that no well-behaved data set holds, beyond the recordings of
// bad_input_test.cc: label lines of every field count, label files that hold
// nothing, paths at and past the name buffers, frames and task numbers at the
// ends of their range, model files that lie about their content.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness/detection_log.h"
#include "harness/eval_stats.h"
#include "harness/recording_path.h"
#include "harness/replay.h"
#include "harness/scoring.h"
#include "tests/test_support.h"
#include "tests/tflite_test_models.h"
#include "tumblix/ml/fall_classifier.h"

namespace {

namespace fs = std::filesystem;
using test_support::KFallRecording;
using test_support::ReadFile;
using test_support::ReadLines;
using test_support::RunCommand;
using test_support::TempDir;
using test_support::TumblebenchPath;
using test_support::WriteFile;

const char kHeader[] =
    "Task Code (Task ID),Description,Trial ID,Fall_onset_frame,Fall_impact_frame\n";

using test_support::RunResult;

using test_support::RunIn;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// What a run prints before its report.
std::string BeforeReport(const std::string& out) { return out.substr(0, out.find("\n# ADL STAT:")); }

// --- Label files ------------------------------------------------------------

TEST(LabelFileMatrix, LinesOfZeroOneEightAndTwentyFields) {
  TempDir dir;
  WriteFile(dir.File("S01T20R01.csv"), KFallRecording(40));
  WriteFile(dir.File("S01T20R02.csv"), KFallRecording(40));
  std::string twenty = "S01T20,d,2,241,300";
  for (int f = 6; f <= 20; ++f) twenty += "," + std::to_string(f);
  const std::string body = std::string(kHeader) +
                           "\n" +                                   // one field: the line end
                           std::string("\0S01T20,d,9,0,0\n", 16) +  // a NUL first: the line end only
                           "S01T20\n" +                             // one field
                           "S01T20,d,1,241,300,x,y,z\n" +           // eight
                           twenty + "\n" +                          // twenty, eight of them returned
                           std::string(1, '\0');                    // none: a last line of a NUL
  WriteFile(dir.File("labels.csv"), body);
  const RunResult run = RunIn(dir.path(), "labels.csv");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(BeforeReport(run.out),
            "tumblebench: invalid string, \n"
            "tumblebench: invalid string, \n"
            "tumblebench: invalid string, S01T20\n"
            "tumblebench: invalid string, S01T20,d,1,241,300,x,y,z\n"
            "\n\nS01T20R01.csv :  120,  150\n\n"
            "Log File : S01T20R01_DSV.csv\n\n20 data, processed.\n"
            "result S01T20R01.csv : 20,   0, 120, 150 -> fn\n"
            "tumblebench: invalid string, " + twenty + "\n"
            "\n\nS01T20R02.csv :  120,  150\n\n"
            "Log File : S01T20R02_DSV.csv\n\n20 data, processed.\n"
            "result S01T20R02.csv : 20,   0, 120, 150 -> fn\n"
            "tumblebench: invalid string, ");
  for (int line : {2, 3, 4, 7}) {
    EXPECT_TRUE(Contains(run.err, "line " + std::to_string(line) + " has no trial number; skipped.")) << run.err;
  }
  EXPECT_EQ(Count(run.err, "\n"), 4u) << run.err;
}

TEST(LabelFileMatrix, FilesWithOnlyAHeaderOrNothingAtAll) {
  TempDir dir;
  WriteFile(dir.File("header_only.csv"), kHeader);
  WriteFile(dir.File("header_no_line_end.csv"), std::string(kHeader, sizeof(kHeader) - 2));
  WriteFile(dir.File("empty.csv"), "");
  for (const char* name : {"header_only.csv", "header_no_line_end.csv"}) {
    const RunResult run = RunIn(dir.path(), name);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(BeforeReport(run.out), "") << name;
    // A subject may have no trials of a kind: nothing is wrong with the file.
    EXPECT_EQ(run.err, "tumblebench: no recording was scored.\n") << name;
  }
  const RunResult run = RunIn(dir.path(), "empty.csv");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(BeforeReport(run.out), "");
  EXPECT_EQ(run.err,
            "tumblebench: empty.csv, the label file is empty; skipped.\n"
            "tumblebench: no recording was scored.\n");
}

// Spreadsheet programs write label files whose lines end in a lone CR
// ("CSV (Macintosh)"); they read as the same file with LF line ends.
TEST(LabelFileMatrix, LinesEndingInALoneCarriageReturn) {
  TempDir dir;
  for (const char* name : {"S01T20R01.csv", "S01T20R02.csv", "S01T20R03.csv"}) {
    WriteFile(dir.File(name), KFallRecording(40));
  }
  const std::string lf = std::string(kHeader) + "S01T20,d,1,241,300\n,,2,0,0\nS01T20,d,3,0,0,x\n";
  std::string cr = lf;
  for (char& c : cr) {
    if (c == '\n') c = '\r';
  }
  WriteFile(dir.File("lf.csv"), lf);
  WriteFile(dir.File("cr.csv"), cr);
  const RunResult with_lf = RunIn(dir.path(), "lf.csv");
  const RunResult with_cr = RunIn(dir.path(), "cr.csv");
  EXPECT_EQ(Count(with_lf.out, "result S01T20R0"), 3u) << with_lf.out;
  EXPECT_EQ(with_cr.out, with_lf.out);
  EXPECT_EQ(with_cr.err, "");

  // One line past the line buffer and nothing else: no trial can be read,
  // and the file is named.
  WriteFile(dir.File("one_line.csv"), std::string(kHeader, sizeof(kHeader) - 2) + std::string(2000, ','));
  const RunResult one_line = RunIn(dir.path(), "one_line.csv");
  EXPECT_EQ(one_line.status, 0);
  EXPECT_EQ(one_line.err,
            "tumblebench: one_line.csv, its only line runs past 1023 bytes, so no trial can be read; skipped.\n"
            "tumblebench: no recording was scored.\n");
}

TEST(LabelFileMatrix, LinesAtAndPastTheLineBuffer) {
  TempDir dir;
  for (const char* name : {"S01T06R01.csv", "S01T06R02.csv", "S01T06R03.csv"}) {
    WriteFile(dir.File(name), KFallRecording(10));
  }
  // 1022 characters and the line end fill the 1024-byte buffer exactly.
  std::string fits = "S01T06,";
  fits += std::string(1022 - fits.size() - 6, 'd') + ",1,0,0";
  ASSERT_EQ(fits.size(), 1022u);
  std::string one_more = "S01T06,";
  one_more += std::string(1023 - one_more.size() - 6, 'd') + ",3,0,0";
  ASSERT_EQ(one_more.size(), 1023u);
  // A NUL early in an overlong line: the part after the first 1023 bytes
  // looks like a trial line of its own and must not be taken for one.
  std::string hidden = std::string("S01T06,d,9,0,0") + '\0';
  hidden += std::string(1023 - hidden.size(), 'x') + "S01T06,t,3,0,0";
  WriteFile(dir.File("labels.csv"), std::string(kHeader) + fits + "\n" + one_more + "\n" + hidden + "\n" +
                                        "S01T06,d,2,0,0\n");
  const RunResult run = RunIn(dir.path(), "labels.csv");
  EXPECT_TRUE(Contains(run.out, "result S01T06R01.csv")) << run.out;
  EXPECT_TRUE(Contains(run.out, "result S01T06R02.csv")) << run.out;
  EXPECT_FALSE(Contains(run.out, "S01T06R03.csv")) << run.out;
  EXPECT_FALSE(Contains(run.out, "S01T06R09.csv")) << run.out;
  EXPECT_TRUE(Contains(run.err, "line 3 does not fit 1024 bytes; skipped.")) << run.err;
  EXPECT_TRUE(Contains(run.err, "line 4 does not fit 1024 bytes; skipped.")) << run.err;
}

// Numbers that the text-to-integer rules read only in part, or saturate, are
// used as read and named on standard error, as on the command line; plain
// ones (the line end, CR LF included, is no part of the number) and empty
// fields pass without a word.
TEST(LabelFileMatrix, TrialNumbersAndFramesAtTheEndsOfTheirRange) {
  TempDir dir;
  WriteFile(dir.File("labels.csv"), std::string(kHeader) +
                                        "S01T20,d,-1,-1,-3\n"
                                        "S01T20,d,99999999999,99999999999,-99999999999\n"
                                        "S01T20,d,2147483647,+4294967297,  12\n"
                                        "S01T20,d,2.5,13e1,208.7\r\n"
                                        "S01T20,d,3,,300\r\n");
  const RunResult run = RunIn(dir.path(), "labels.csv");
  EXPECT_EQ(BeforeReport(run.out),
            "\n\nS01T20R-1.csv :    0,   -1\n\n"
            "tumblebench: S01T20R-1.csv, not found.\n"
            "\n\nS01T20R2147483647.csv : 1073741823, -1073741824\n\n"
            "tumblebench: S01T20R2147483647.csv, not found.\n"
            "\n\nS01T20R2147483647.csv : 1073741823,    6\n\n"
            "tumblebench: S01T20R2147483647.csv, not found.\n"
            "\n\nS01T20R02.csv :    6,  104\n\n"
            "tumblebench: S01T20R02.csv, not found.\n"
            "\n\nS01T20R03.csv :    0,  150\n\n"
            "tumblebench: S01T20R03.csv, not found.\n");
  const std::string at = "tumblebench: labels.csv, line ";
  EXPECT_EQ(run.err,
            at + "3: the trial number 99999999999 lies beyond the int range; it is read as 2147483647.\n" +
            at + "3: the onset frame 99999999999 lies beyond the int range; it is read as 2147483647.\n" +
            at + "3: the impact frame -99999999999 lies beyond the int range; it is read as -2147483648.\n" +
            at + "4: the onset frame +4294967297 lies beyond the int range; it is read as 2147483647.\n" +
            at + "4: the impact frame   12 is not a plain decimal integer; it is read as 12.\n" +
            at + "5: the trial number 2.5 is not a plain decimal integer; it is read as 2.\n" +
            at + "5: the onset frame 13e1 is not a plain decimal integer; it is read as 13.\n" +
            at + "5: the impact frame 208.7 is not a plain decimal integer; it is read as 208.\n" +
            "tumblebench: no recording was scored.\n");
}

// --- Names and paths ----------------------------------------------------------

// An absolute path of exactly `length` characters ending in `leaf`, made of
// folders of at most 200 characters.
fs::path PathOfLength(const fs::path& base, size_t length, const std::string& leaf) {
  fs::path path = base;
  size_t used = base.string().size() + 1 + leaf.size();
  while (used < length) {
    // Each folder adds its name and a separator; never leave a gap of one.
    size_t name = std::min<size_t>(200, length - used - 1);
    if (length - used - 1 - name == 1) name -= 1;
    if (name == 0) name = 1;
    path /= std::string(name, 'p');
    used += name + 1;
  }
  fs::create_directories(path);
  return path / leaf;
}

TEST(PathMatrix, RecordingPathsAtAndPastTheNameBuffer) {
  std::memset(ProcessEvalStats(), 0, sizeof(EvalStats));
  TempDir dir;
  // The trace name is the path with four characters more; with its
  // terminator it must fit the 2048-byte buffer.
  const size_t longest = kTraceNameBufferSize - 1 - 4;
  for (size_t length : {longest, longest + 1, size_t{3000}}) {
    SCOPED_TRACE(length);
    const fs::path path = PathOfLength(dir.path() / std::to_string(length), length, "S01T06R01.csv");
    ASSERT_EQ(path.string().size(), length);
    WriteFile(path.string(), KFallRecording(10));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = ReplayKFallRecording(path.c_str(), 0, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    if (length == longest) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(err, "");
      EXPECT_EQ(ReadLines(test_support::TraceOf(path.string())).size(), 6u);
    } else {
      EXPECT_EQ(result, -1);
      EXPECT_EQ(out, "");
      EXPECT_EQ(err, "tumblebench: " + path.string() + ", no trace name can be formed from this path.\n");
    }
  }
  EXPECT_EQ(ProcessEvalStats()->tn, 1);
}

TEST(PathMatrix, TaskNumbersOutOfRangeFromTheName) {
  TempDir dir;
  for (const char* name : {"S01T99R01.csv", "S01TxyR01.csv", "S01T-5R01.csv", "S01T00R01.csv", "S01T39R01.csv"}) {
    WriteFile(dir.File(name), KFallRecording(40));
  }
  const RunResult run = RunIn(dir.path(), "-f S01T99R01.csv");
  EXPECT_TRUE(Contains(run.out, "result S01T99R01.csv : 99,")) << run.out;
  // The characters are taken as digits whatever they are: 'x' and 'y' give
  // 10 * 72 + 73, '-' and '5' give 10 * -3 + 5.
  EXPECT_TRUE(Contains(RunIn(dir.path(), "-f S01TxyR01.csv").out, "result S01TxyR01.csv : 793,"));
  EXPECT_TRUE(Contains(RunIn(dir.path(), "-tf S01T-5R01.csv").out, "result S01T-5R01.csv : -25,"));
  for (const char* name : {"S01T00R01.csv", "S01T39R01.csv"}) {
    const RunResult edge = RunIn(dir.path(), std::string("-f ") + name);
    EXPECT_TRUE(Contains(edge.out, "-> tn\n")) << edge.out;
    EXPECT_TRUE(Contains(edge.out, "# ADL STAT: tn 1(100.00%)")) << edge.out;
  }
}

// Label files form "R123" for trial 123; the task stays the two digits after
// the T, so a caught fall is not filed under another task.
TEST(PathMatrix, TrialNumbersOfThreeDigitsKeepTheirTask) {
  TempDir dir;
  WriteFile(dir.File("S06T25R102.csv"), KFallRecording(40));
  WriteFile(dir.File("S06T10R101.csv"), KFallRecording(40));
  WriteFile(dir.File("labels.csv"), std::string(kHeader) + "S06T25,fall,102,241,300\nS06T10,stumble,101,0,0\n");
  const RunResult run = RunIn(dir.path(), "labels.csv");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Contains(run.out, "result S06T25R102.csv : 25,   0, 120, 150 -> fn\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "result S06T10R101.csv : 10,   0,   0,   0 -> tn\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "# DETECTION ERROR:\n\n  o 25: 1 (Forward fall while sitting, caused by fainting)\n"))
      << run.out;
}

// --- Frames at the ends of the int range -----------------------------------

TEST(FrameMatrix, DistancesBeyondTheIntRangeArePrintedExactly) {
  EvalStats stats;
  std::memset(&stats, 0, sizeof(stats));
  testing::internal::CaptureStdout();
  ScoreRecording(&stats, "S01T20R01.csv", 20, 2, 30, 0, INT_MIN);
  ScoreRecording(&stats, "S01T20R01.csv", 20, 2, 30, INT_MAX, INT_MAX);
  ScoreRecording(&stats, "S01T20R01.csv", 20, 2, 30, INT_MIN, INT_MAX);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "result S01T20R01.csv : 20,  30,   0, -2147483648 -> late (2147483678)[2]\n"
            "result S01T20R01.csv : 20,  30, 2147483647, 2147483647 -> early (2147483617)[2]\n"
            "result S01T20R01.csv : 20,  30, -2147483648, 2147483647 -> good (2147483617)[2]\n");
  EXPECT_EQ(stats.late, 1);
  EXPECT_EQ(stats.early, 1);
  EXPECT_EQ(stats.good, 1);

  DetectionLog log = {0, 0, 0};
  testing::internal::CaptureStdout();
  NoteDetection(&log, 2, 30, 1, INT_MIN);
  NoteDetection(&log, 3, 31, INT_MAX, INT_MIN);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Late Detect : 30, wDownMode : 2 (2147483678)\n"
            "Early Detect : 31, wDownMode : 2 (2147483616)\n");
}

TEST(FrameMatrix, CommandLineFramesBeyondTheIntRange) {
  TempDir dir;
  WriteFile(dir.File("S01T20R01.csv"), KFallRecording(40));
  const RunResult run = RunIn(dir.path(), "-f S01T20R01.csv 99999999999 -99999999999");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Contains(run.out, "result S01T20R01.csv : 20,   0, 2147483647, -2147483648 -> fn\n")) << run.out;
}

// Frames are read by the usual text-to-integer rules and used as read;
// arguments those rules read only in part, or saturate, are named.
TEST(FrameMatrix, FrameArgumentsThatAreNotPlainIntegersAreNamed) {
  TempDir dir;
  WriteFile(dir.File("S06T20R01.csv"), KFallRecording(40));
  const RunResult as_read = RunIn(dir.path(), "-f S06T20R01.csv 6 1");
  const RunResult exponent = RunIn(dir.path(), "-f S06T20R01.csv 6.5e1 1.04e2");
  EXPECT_EQ(exponent.status, 0);
  EXPECT_EQ(exponent.out, as_read.out);
  EXPECT_EQ(exponent.err,
            "tumblebench: the onset frame 6.5e1 is not a plain decimal integer; it is read as 6.\n"
            "tumblebench: the impact frame 1.04e2 is not a plain decimal integer; it is read as 1.\n");
  EXPECT_EQ(as_read.err, "");
  EXPECT_EQ(RunIn(dir.path(), "-f S06T20R01.csv +120 -3").err, "");
  EXPECT_EQ(RunIn(dir.path(), "-f S06T20R01.csv 99999999999 ' 12'").err,
            "tumblebench: the onset frame 99999999999 lies beyond the int range; it is read as 2147483647.\n"
            "tumblebench: the impact frame  12 is not a plain decimal integer; it is read as 12.\n");
}

// --- Model files ----------------------------------------------------------------

std::vector<uint8_t> ProbeModelBytes() { return tflite_test::BuildModel(tflite_test::ProbeModel({0, 149})); }

size_t OffsetIn(const std::vector<uint8_t>& bytes, const void* inside) {
  return static_cast<size_t>(static_cast<const uint8_t*>(inside) - bytes.data());
}

void WriteCount(std::vector<uint8_t>* bytes, size_t offset, uint32_t count) {
  std::memcpy(bytes->data() + offset, &count, sizeof(count));
}

struct LyingModel {
  const char* name;
  std::vector<uint8_t> bytes;
};

// Valid models with one length or index changed to claim more than the
// file holds.
std::vector<LyingModel> LyingModels() {
  const std::vector<uint8_t> good = ProbeModelBytes();
  const tflite::Model* model = tflite::GetModel(good.data());
  const tflite::SubGraph* graph = model->subgraphs()->Get(0);
  std::vector<LyingModel> lying;
  auto patched = [&](const char* name, const void* length_field, uint32_t count) {
    std::vector<uint8_t> bytes = good;
    WriteCount(&bytes, OffsetIn(good, length_field), count);
    lying.push_back({name, bytes});
  };
  const uint32_t tensors = graph->tensors()->size();
  patched("tensor list one longer", graph->tensors(), tensors + 1);
  patched("tensor list far longer", graph->tensors(), tensors + 1000);
  patched("tensor list of 2^32 - 1", graph->tensors(), 0xffffffffu);
  patched("operator list longer", graph->operators(), graph->operators()->size() + 5);
  patched("buffer list longer", model->buffers(), model->buffers()->size() + 3);
  patched("weights longer than the file", model->buffers()->Get(4)->data(), 1u << 30);
  patched("graph input list longer", graph->inputs(), 7);

  tflite_test::ModelDef def = tflite_test::ProbeModel({0, 149});
  def.ops[1].inputs = {2, 3, 40};  // a bias tensor past the list
  lying.push_back({"operand past the tensor list", tflite_test::BuildModel(def)});
  def = tflite_test::ProbeModel({0, 149});
  def.tensors[0].shape = {65536, 65536, 6};
  lying.push_back({"input of 2^35 elements", tflite_test::BuildModel(def)});
  return lying;
}

TEST(ModelFileMatrix, ModelsThatClaimMoreThanTheyHoldAreRefused) {
  // The unpatched model is usable, so each refusal is down to its one change.
  {
    const std::vector<uint8_t> good = ProbeModelBytes();
    FallClassifierConfig config;
    ml_tumblix_default_config(&config);
    config.model_data = static_cast<uint8_t*>(std::malloc(good.size()));
    std::memcpy(config.model_data, good.data(), good.size());
    config.model_size = static_cast<int32_t>(good.size());
    auto classifier = std::make_unique<FallClassifier>();
    ASSERT_EQ(ml_tumblix_create(classifier.get(), &config), classifier.get());
    ml_tumblix_destroy(classifier.get());
  }
  TempDir dir;
  for (const LyingModel& model : LyingModels()) {
    SCOPED_TRACE(model.name);
    const std::string path = dir.File("model.tflite");
    ASSERT_TRUE(tflite_test::WriteBytes(path, model.bytes));
    FallClassifierConfig config;
    ml_tumblix_default_config(&config);
    ASSERT_EQ(ml_tumblix_load_model(&config, path.c_str()), 0);
    auto classifier = std::make_unique<FallClassifier>();
    testing::internal::CaptureStdout();
    // Create takes the buffer and, refusing the model, frees it (the
    // sanitizer build checks that nothing leaks).
    EXPECT_EQ(ml_tumblix_create(classifier.get(), &config), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  }
}

TEST(ModelFileMatrix, FilesThatAreNoModelFileAtAll) {
  TempDir dir;
  FallClassifierConfig config;
  testing::internal::CaptureStdout();
  EXPECT_EQ(ml_tumblix_load_model(&config, dir.path().c_str()), -1);
  EXPECT_EQ(config.model_data, nullptr);
  EXPECT_EQ(ml_tumblix_load_model(&config, dir.File("missing.tflite").c_str()), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ml_tumblix : " + dir.path().string() + ", not opened.\nml_tumblix : " + dir.File("missing.tflite") +
                ", not opened.\n");

  // One byte, and the 8-byte minimum with the right identifier and nothing
  // behind it: loaded, then refused by create.
  for (const std::string& content : {std::string("T"), std::string("\x08\0\0\0TFL3", 8)}) {
    WriteFile(dir.File("small.tflite"), content);
    ASSERT_EQ(ml_tumblix_load_model(&config, dir.File("small.tflite").c_str()), 0);
    EXPECT_EQ(config.model_size, static_cast<int32_t>(content.size()));
    auto classifier = std::make_unique<FallClassifier>();
    EXPECT_EQ(ml_tumblix_create(classifier.get(), &config), nullptr);
  }
}

}  // namespace
