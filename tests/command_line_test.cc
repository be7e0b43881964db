#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/test_support.h"

namespace {

using test_support::KFallRecording;
using test_support::RunCommand;
using test_support::TempDir;
using test_support::TumblebenchPath;
using test_support::WriteFile;

const char kUsage[] =
    "Usage: tumblebench <file_name>\n"
    "          tumblebench -r\n"
    "          tumblebench -r1\n"
    "          tumblebench -r2\n"
    "          tumblebench -r10\n"
    "          tumblebench -f <file_name> [<onset_frame> <impact_frame>]\n"
    "          tumblebench -tf <file_name> [<onset_frame> <impact_frame>]\n";

const char kEmptyReport[] =
    "\n"
    "# ADL STAT: tn 0(0.00%), fp 0(0.00%)\n"
    "# DOWN STAT: tp 0(0.00%){good 0, soso 0 (0, 0, 0, 0), early 0, late 0}, fn 0(0.00%)\n"
    "\n# ALL STAT: ok 0(0.00%), soso 0(0.00%), troublemakers 0(0.00%)\n"
    "\n# DETECTION STAT:\n\n"
    "  o ALL : 0\n\n"
    "\n  o ADL : 0\n\n"
    "\n  o DOWN : 0\n\n"
    "\n# DETECTION ERROR:\n\n";

class CommandLineTest : public ::testing::Test {
 protected:
  std::string Run(const std::string& args) {
    return RunCommand("cd '" + dir_.path().string() + "' && '" + TumblebenchPath() + "' " + args +
                          " 2>/dev/null",
                      &status_);
  }
  TempDir dir_;
  int status_ = -1;
};

TEST_F(CommandLineTest, MalformedArgumentsPrintUsageAndExitWithOne) {
  for (const char* args : {"", "-f x.csv 12", "-r1 extra", "-x a b c", "-f a b c d e",
                           "-F x.csv", "-tf a.csv 1 2 3"}) {
    SCOPED_TRACE(args);
    EXPECT_EQ(Run(args), kUsage);
    EXPECT_EQ(status_, 1);
  }
}

TEST_F(CommandLineTest, MissingRecordingStillEndsWithTheReport) {
  EXPECT_EQ(Run("-tf nothere.csv"), std::string("tumblebench: nothere.csv, not found.\n") + kEmptyReport);
  EXPECT_EQ(status_, 0);
}

TEST_F(CommandLineTest, LoneDashFIsALabelFilePath) {
  EXPECT_EQ(Run("-f"), kEmptyReport);
  EXPECT_EQ(status_, 0);
}

TEST_F(CommandLineTest, FramesFollowTextToIntegerRules) {
  WriteFile(dir_.File("S01T20R01.csv"), KFallRecording(100));
  const std::string out = Run("-f S01T20R01.csv abc ' +120x'");
  EXPECT_EQ(status_, 0);
  EXPECT_NE(out.find("result S01T20R01.csv : 20,   0,   0, 120 -> fn\n"), std::string::npos) << out;
  EXPECT_NE(out.find("50 data, processed.\n"), std::string::npos);
  // The report comes last.
  const std::string tail = "# DETECTION ERROR:\n\n  o 20: 1 (Forward fall when trying to sit down)\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST_F(CommandLineTest, DeviceReplayWithFrames) {
  std::string body = "1\n2\n3\n4\n5\n6\n";
  for (int i = 0; i < 30; ++i) body += std::to_string(i) + ",0,-8192,0,0,0,0\n";
  WriteFile(dir_.File("S01T06R01.csv"), body);
  const std::string out = Run("-tf S01T06R01.csv 10 20");
  EXPECT_EQ(status_, 0);
  EXPECT_NE(out.find("Log File : S01T06R01_DSV.csv\n\n30 data, processed.\n"
                     "result S01T06R01.csv : 06,   0,  10,  20 -> tn\n"),
            std::string::npos)
      << out;
}

}  // namespace

// Runs that end in an empty report say why on standard error; standard
// output and the exit status stay as they are.
TEST(NothingSilent, EmptyRunsSayWhyOnStandardError) {
  TempDir root;
  std::filesystem::create_directories(root.path() / "sensor_data" / "SA06");
  const struct {
    const char* args;
    const char* expected;
  } cases[] = {
      {"--help", "Usage: tumblebench <file_name>\n"},
      {"-h", "tumblebench -all\n"},
      {"--version", "(Tumblix-0.0.1), commit "},
      {"SA06_al.csv", "SA06_al.csv, the label file cannot be opened"},
      {"-r", "subject folders are in " },
      {"-all", "no subject folder here"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const auto run = test_support::RunIn(root.path(), c.args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kEmptyReport);
    EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("tumblebench: no recording was scored.\n"), std::string::npos);
  }
}
