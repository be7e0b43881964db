// Recordings that are not what a reader expects: the harness must neither
// crash nor lose the recording's place in the statistics.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "harness/eval_stats.h"
#include "harness/scoring.h"
#include "harness/replay.h"
#include "tests/test_support.h"

namespace {

using test_support::KFallRecording;
using test_support::ReadFile;
using test_support::ReadLines;
using test_support::TempDir;
using test_support::WriteFile;

class BadInputTest : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(ProcessEvalStats(), 0, sizeof(EvalStats)); }

  // Replays `content` in both formats; returns the KFall trace's row count
  // (header included).
  size_t ReplayBoth(const std::string& content, const std::string& name = "S01T06R01.csv") {
    const std::string path = dir_.File(name);
    WriteFile(path, content);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReplayDeviceRecording(path.c_str(), 0, 0), 0);
    EXPECT_EQ(ReplayKFallRecording(path.c_str(), 0, 0), 0);
    output_ = testing::internal::GetCapturedStdout();
    return ReadLines(test_support::TraceOf(path)).size();
  }

  int Scored() const {
    const EvalStats* s = ProcessEvalStats();
    return s->tp + s->tn + s->fp + s->fn;
  }

  TempDir dir_;
  std::string output_;
};

TEST_F(BadInputTest, EmptyFile) {
  EXPECT_EQ(ReplayBoth(""), 1u);
  EXPECT_EQ(Scored(), 2);
  EXPECT_NE(output_.find("0 data, processed.\n"), std::string::npos);
}

TEST_F(BadInputTest, BinaryGarbage) {
  std::mt19937 rng(7);
  std::string garbage;
  for (int i = 0; i < 200000; ++i) garbage.push_back(static_cast<char>(rng() & 0xff));
  ReplayBoth(garbage);
  EXPECT_EQ(Scored(), 2);
}

TEST_F(BadInputTest, OneTenMegabyteLine) {
  std::string line = "0.0,0";
  while (line.size() < 10 * 1024 * 1024) line += ",0.5";
  line += "\n";
  // Read in pieces of 2047 characters: only pieces that start with a digit
  // or a minus sign become samples.
  const size_t rows = ReplayBoth(line);
  EXPECT_GT(rows, 1u);
  EXPECT_EQ(Scored(), 2);
}

TEST_F(BadInputTest, CrlfLineEndsGiveTheSameTraceAsLf) {
  const std::string lf = KFallRecording(300, 0.1, -0.9, 0.2, 30.0, -20.0, 5.0);
  std::string crlf;
  for (char c : lf) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  WriteFile(dir_.File("S01T06R01.csv"), lf);
  WriteFile(dir_.File("S01T06R02.csv"), crlf);
  testing::internal::CaptureStdout();
  ReplayKFallRecording(dir_.File("S01T06R01.csv").c_str(), 0, 0);
  ReplayKFallRecording(dir_.File("S01T06R02.csv").c_str(), 0, 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFile(dir_.File("S01T06R01_DSV.csv")), ReadFile(dir_.File("S01T06R02_DSV.csv")));
}

TEST_F(BadInputTest, ByteOrderMarkOnTheTitleLine) {
  const size_t rows = ReplayBoth("\xEF\xBB\xBF" + KFallRecording(20));
  EXPECT_EQ(rows, 11u);
}

TEST_F(BadInputTest, NanInfAndHugeNumbers) {
  const std::string body =
      "Title\n"
      "0.0,0,nan,-nan,inf,-inf,1e308,-1e308\n"
      "0.01,1,0,0,0,0,0,0\n"
      "0.02,2,1e400,NAN,INFINITY,0x7fff,-0x1p100,5\n";
  ReplayBoth(body);
  const std::vector<std::string> rows = ReadLines(dir_.File("S01T06R01_DSV.csv"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].substr(0, 30), "1,0,0,32767,-32768,32767,-3276");
  EXPECT_EQ(rows[2].substr(0, 32), "2,32767,0,32767,32767,-32768,327");
}

TEST_F(BadInputTest, MissingAndExtraFields) {
  const std::string body =
      "Title\n"
      "0.0,0,1.0\n"
      "0.01,1\n"
      "0.02,2,0.5,0.5,0.5,1,2,3,4,5,6,7,8,9,10\n";
  ReplayBoth(body);
  const std::vector<std::string> rows = ReadLines(dir_.File("S01T06R01_DSV.csv"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].substr(0, 16), "1,8192,0,0,0,0,0");
  EXPECT_EQ(rows[2].substr(0, 26), "2,4096,4096,4096,65,131,19");
}

TEST_F(BadInputTest, NamesTooShortForTheNameRules) {
  // The characters in the task position are not digits ("/w"): the task
  // number has no table slot and the recording counts as a daily activity.
  ReplayBoth(KFallRecording(10), "walk.csv");
  EXPECT_NE(output_.find("result " + dir_.File("walk.csv")), std::string::npos);
  EXPECT_EQ(ProcessEvalStats()->tn, 2);
}

}  // namespace
