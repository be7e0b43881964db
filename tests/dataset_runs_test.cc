#include "harness/dataset_runs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/eval_stats.h"
#include "harness/scoring.h"
#include "harness/walk_subjects.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::KFallRecording;
using test_support::ReadFile;
using test_support::RunCommand;
using test_support::TempDir;
using test_support::TumblebenchPath;
using test_support::WriteFile;

const char kHeader[] =
    "Task Code (Task ID),Description,Trial ID,Fall_onset_frame,Fall_impact_frame\n";

std::string DeviceRecording(int rows) {
  std::string text = "device\nfirmware\nrate 50\nunits counts\n\nindex,ax,ay,az,gx,gy,gz\n";
  for (int i = 0; i < rows; ++i) text += std::to_string(i) + ",0,-8192,0,0,0,0\n";
  return text;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Runs tumblebench with the arguments in dir; stderr goes to *err.
std::string RunIn(const fs::path& dir, const std::string& args, std::string* err, int* status,
                  const std::string& program = TumblebenchPath()) {
  TempDir err_dir;
  const std::string err_file = err_dir.File("stderr");
  const std::string out = RunCommand(
      "cd '" + dir.string() + "' && '" + program + "' " + args + " 2>'" + err_file + "'", status);
  *err = ReadFile(err_file);
  return out;
}

// Keeps the process's current directory and PATH across a test that changes
// them, and zeroes the run's statistics.
class InProcessRun : public ::testing::Test {
 protected:
  void SetUp() override {
    start_ = fs::current_path();
    const char* path = std::getenv("PATH");
    had_path_ = path != nullptr;
    if (had_path_) path_ = path;
    std::memset(ProcessEvalStats(), 0, sizeof(EvalStats));
  }
  void TearDown() override {
    fs::current_path(start_);
    if (had_path_) setenv("PATH", path_.c_str(), 1);
  }
  fs::path start_;
  std::string path_;
  bool had_path_ = false;
};

// --- Label-file runs -------------------------------------------------------

TEST(LabelFileRunTest, NamesFramesCarriedCodesAndFieldCounts) {
  TempDir dir;
  WriteFile(dir.File("labels.csv"),
            std::string(kHeader) +
                "S06T20,\"Forward fall, when sitting\",1,241,300\n"
                ",,2,0,0\n"
                "S06T21,six fields,7,10,21,\n"
                "S06T22,desc,123,-3,0\n");
  WriteFile(dir.File("S06T20R01.csv"), KFallRecording(400));
  int status = -1;
  std::string err;
  const std::string out = RunIn(dir.path(), "labels.csv", &err, &status);
  EXPECT_EQ(status, 0);
  const std::string expected =
      "\n\nS06T20R01.csv :  120,  150\n\n"
      "Log File : S06T20R01_DSV.csv\n\n"
      "200 data, processed.\n"
      "result S06T20R01.csv : 20,   0, 120, 150 -> fn\n"
      "\n\nS06T20R02.csv :    0,    0\n\n"
      "tumblebench: S06T20R02.csv, not found.\n"
      "tumblebench: invalid string, S06T21,six fields,7,10,21,\n"
      "\n\nS06T21R07.csv :    5,   10\n\n"
      "tumblebench: S06T21R07.csv, not found.\n"
      "\n\nS06T22R123.csv :   -1,    0\n\n"
      "tumblebench: S06T22R123.csv, not found.\n"
      "\n# ADL STAT:";
  EXPECT_EQ(out.substr(0, expected.size()), expected) << out;
  EXPECT_TRUE(fs::exists(dir.File("S06T20R01_DSV.csv")));
  EXPECT_EQ(err, "");
}

TEST(LabelFileRunTest, UnusableLinesAreReportedAndTheRunGoesOn) {
  TempDir dir;
  const std::string long_line = "S06T20,desc," + std::string(1500, '9') + ",0,0\n";
  WriteFile(dir.File("labels.csv"),
            std::string(kHeader) +
                ",,1,0,0\n"                        // no task code in force yet
                "S06T2012345678901,desc,1,0,0\n"   // 17 characters
                ",,2,0,0\n"                        // still under the long code
                "S06T20,desc\n"                    // no trial number
                "\n" +                             // blank line
                long_line +                        // does not fit the line buffer
                ",,3,0,0\n"                        // the long code is still in force
                "S06T12,desc,4,40\n"               // four fields: impact 0
                ",,5,0,0\n"
                "ABCDEFGHIJKLM20,d,1,0,0");        // 15 characters fit; no line end
  int status = -1;
  std::string err;
  const std::string out = RunIn(dir.path(), "labels.csv", &err, &status);
  EXPECT_EQ(status, 0);
  const std::string expected =
      "tumblebench: invalid string, S06T20,desc\n"
      "tumblebench: invalid string, \n"
      "tumblebench: invalid string, S06T12,desc,4,40\n"
      "\n\nS06T12R04.csv :   20,    0\n\n"
      "tumblebench: S06T12R04.csv, not found.\n"
      "\n\nS06T12R05.csv :    0,    0\n\n"
      "tumblebench: S06T12R05.csv, not found.\n"
      "\n\nABCDEFGHIJKLM20R01.csv :    0,    0\n\n"
      "tumblebench: ABCDEFGHIJKLM20R01.csv, not found.\n"
      "\n# ADL STAT:";
  EXPECT_EQ(out.substr(0, expected.size()), expected) << out;
  EXPECT_TRUE(Contains(err, "line 2: no task code before this line")) << err;
  EXPECT_TRUE(Contains(err, "line 3: task code S06T2012345678901 is longer than 15")) << err;
  EXPECT_TRUE(Contains(err, "line 4: the task code in force is too long")) << err;
  EXPECT_TRUE(Contains(err, "line 5 has no trial number")) << err;
  EXPECT_TRUE(Contains(err, "line 7 does not fit 1024 bytes")) << err;
  EXPECT_TRUE(Contains(err, "line 8: the task code in force is too long")) << err;
}

TEST(LabelFileRunTest, RecordingsOpenInTheCurrentDirectory) {
  TempDir dir;
  fs::create_directory(dir.path() / "sub");
  WriteFile(dir.File("sub/labels.csv"), std::string(kHeader) + "S06T20,d,1,0,0\n,,2,0,0\n");
  WriteFile(dir.File("sub/S06T20R01.csv"), KFallRecording(10));
  WriteFile(dir.File("S06T20R02.csv"), KFallRecording(10));
  int status = -1;
  std::string err;
  const std::string out = RunIn(dir.path(), "sub/labels.csv", &err, &status);
  EXPECT_TRUE(Contains(out, "tumblebench: S06T20R01.csv, not found.\n")) << out;
  EXPECT_TRUE(Contains(out, "result S06T20R02.csv : 20,")) << out;
}

// --- One-argument dispatch -------------------------------------------------

TEST(DataSetCommandTest, EveryFormRunsWhatItNames) {
  TempDir dir;
  fs::create_directory(dir.path() / "SA06");
  const std::string subject = dir.File("SA06/");
  // Each label type lists its own trial, so the replayed name tells which ran.
  WriteFile(subject + "SA06_all.csv", std::string(kHeader) + "S06T01,d,1,0,0\n");
  WriteFile(subject + "SA06_down.csv", std::string(kHeader) + "S06T02,d,1,0,0\n");
  WriteFile(subject + "SA06_adl.csv", std::string(kHeader) + "S06T03,d,1,0,0\n");
  WriteFile(subject + "SA06_device.csv", std::string(kHeader) + "S06T04,d,1,0,0\n");
  // A label file literally named -f.
  WriteFile(dir.File("-f"), std::string(kHeader) + "S06T05,d,1,0,0\n");
  WriteFile(dir.File("-R"), std::string(kHeader) + "S06T06,d,1,0,0\n");

  const struct {
    const char* argument;
    const char* replayed;
  } cases[] = {{"-r", "S06T01R01.csv"},  {"-r1", "S06T02R01.csv"}, {"-r2", "S06T03R01.csv"},
               {"-r10", "S06T01R01.csv"}, {"-all", "S06T04R01.csv"}, {"-f", "S06T05R01.csv"},
               {"-R", "S06T06R01.csv"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument);
    int status = -1;
    std::string err;
    const std::string out = RunIn(dir.path(), c.argument, &err, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Count(out, "not found."), 1u) << out;
    EXPECT_TRUE(Contains(out, std::string("tumblebench: ") + c.replayed + ", not found.\n")) << out;
    EXPECT_TRUE(Contains(out, "# DETECTION ERROR:")) << out;
  }
}

TEST(DataSetCommandTest, ResetLeavesTheTroubleMakerListWithItsHeader) {
  const std::string list = TroubleMakerListPath();
  ASSERT_TRUE(fs::path(list).is_absolute());
  fs::create_directories(fs::path(list).parent_path());
  WriteFile(list, std::string(kHeader) + "S06T20,d,1,2,3\nS06T21,d,1,2,3\n");
  TempDir dir;
  int status = -1;
  std::string err;
  RunIn(dir.path(), "-r10", &err, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(list), kHeader);
  EXPECT_EQ(err.find("list could not be"), std::string::npos) << err;
}

TEST(DataSetCommandTest, ResetThatCannotWriteSaysSo) {
  TempDir dir;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ResetTroubleMakerList(dir.File("no/such/filelist.csv").c_str()));
  EXPECT_TRUE(Contains(testing::internal::GetCapturedStderr(), "could not be written"));
}

TEST(DataSetCommandTest, OverlongCurrentDirectoryMeansNoWalk) {
  TempDir dir;
  fs::path deep = dir.path();
  while (deep.string().size() <= 1100) deep /= std::string(200, 'd');
  fs::create_directories(deep / "SA06");
  WriteFile((deep / "SA06" / "SA06_all.csv").string(), std::string(kHeader) + "S06T01,d,1,0,0\n");
  int status = -1;
  std::string err;
  const std::string out = RunIn(deep, "-r", &err, &status);
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(Contains(out, "S06T01")) << out;
  EXPECT_TRUE(Contains(out, "# DETECTION ERROR:")) << out;
  EXPECT_TRUE(Contains(err, "the current directory cannot be read or is longer than 1023 bytes"))
      << err;
}

TEST_F(InProcessRun, VanishedCurrentDirectoryMeansNoWalk) {
  TempDir dir;
  const fs::path gone = dir.path() / "gone";
  fs::create_directory(gone);
  fs::current_path(gone);
  fs::remove(gone);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int result = RunDataSetCommand("-r1");
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(out, "");
  EXPECT_TRUE(Contains(err, "no walk")) << err;
}

// --- Subject walks ---------------------------------------------------------

TEST_F(InProcessRun, OnlySubjectFoldersAreWalkedByAbsolutePath) {
  TempDir dir;
  const fs::path root = dir.path() / "root";
  for (const char* name : {"SA06", "SAxy", "SA6", "SA100", "sa06", "Sa06", "XA06"}) {
    fs::create_directories(root / name);
    WriteFile((root / name / (std::string(name) + "_all.csv")).string(),
              std::string(kHeader) + "S" + name + "T01,d,1,0,0\n");
    WriteFile((root / name / ("S" + std::string(name) + "T01R01.csv")).string(), KFallRecording(4));
  }
  WriteFile((root / "SA07").string(), "a file, not a folder\n");
  fs::create_directory(root / "SA08");  // a subject without labels and no converter

  // The walk is handed a relative root; the second subject is only found if
  // the walk enters each subject by an absolute path.
  fs::current_path(dir.path());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(WalkKFallSubjects("root", kLabelTypeAll), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(fs::current_path(), dir.path());

  EXPECT_TRUE(Contains(out, "result SSA06T01R01.csv : 01,")) << out;
  EXPECT_TRUE(Contains(out, "result SSAxyT01R01.csv : 01,")) << out;
  EXPECT_EQ(Count(out, "result "), 2u) << out;
  EXPECT_EQ(ProcessEvalStats()->tn, 2);
  EXPECT_TRUE(Contains(err, "SA08/SA08_all.csv, no label file; subject skipped")) << err;
}

TEST(SubjectWalkTest, SearchThatCannotStartDoesNothing) {
  TempDir dir;
  testing::internal::CaptureStdout();
  EXPECT_EQ(WalkKFallSubjects(dir.File("missing").c_str(), kLabelTypeAll), 0);
  EXPECT_EQ(WalkDeviceSubjects(dir.File("missing").c_str(), kLabelTypeDown), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// A stand-in converter that logs where and how it was run and writes the
// subject's label files as the real one would.
void WriteFakeConverter(const fs::path& bin_dir, const std::string& log) {
  fs::create_directories(bin_dir);
  const std::string script = (bin_dir / "kfall_label").string();
  WriteFile(script,
            "#!/bin/sh\n"
            "echo \"$PWD $*\" >> '" + log + "'\n"
            "s=${1%_down.csv}\n"
            "printf '" + std::string(kHeader) + "S06T20,fall,1,0,0\\n' > ${s}_down.csv\n"
            "printf '" + std::string(kHeader) + "S06T01,adl,1,0,0\\n' > ${s}_adl.csv\n");
  fs::permissions(script, fs::perms::owner_all);
}

TEST_F(InProcessRun, MissingLabelFileRunsTheConverterForTheDownFile) {
  TempDir dir;
  const fs::path root = fs::canonical(dir.path()) / "data";
  fs::create_directories(root / "SA06");
  const std::string log = dir.File("calls.log");
  WriteFakeConverter(dir.path() / "bin", log);
  setenv("PATH", (dir.File("bin") + ":" + path_).c_str(), 1);

  testing::internal::CaptureStdout();
  WalkKFallSubjects(root.string().c_str(), kLabelTypeAdl);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFile(log), (root / "SA06").string() + " SA06_down.csv\n");
  // The ADL file is the one run, not the down file the command named.
  EXPECT_TRUE(Contains(out, "tumblebench: S06T01R01.csv, not found.\n")) << out;
  EXPECT_FALSE(Contains(out, "S06T20R01.csv")) << out;

  // With the label file present the converter is not run again.
  testing::internal::CaptureStdout();
  WalkKFallSubjects(root.string().c_str(), kLabelTypeAdl);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Count(ReadFile(log), "\n"), 1u);
}

TEST_F(InProcessRun, SubjectNamesTheShellWouldInterpretAreNotRun) {
  TempDir dir;
  const fs::path root = fs::canonical(dir.path()) / "data";
  fs::create_directories(root / "SA;x");
  const std::string log = dir.File("calls.log");
  WriteFakeConverter(dir.path() / "bin", log);
  setenv("PATH", (dir.File("bin") + ":" + path_).c_str(), 1);
  testing::internal::CaptureStderr();
  WalkKFallSubjects(root.string().c_str(), kLabelTypeAll);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(fs::exists(log));
  EXPECT_TRUE(Contains(err, "SA;x, the subject name is not safe")) << err;
}

TEST(SubjectWalkTest, ConverterBesideTheProgramIsFound) {
  TempDir dir;
  // A copy of the program with a stand-in converter beside it, neither on PATH.
  const fs::path bin = fs::canonical(dir.path()) / "install";
  const std::string log = dir.File("calls.log");
  WriteFakeConverter(bin, log);
  fs::copy_file(TumblebenchPath(), bin / "tumblebench");
  const fs::path root = dir.path() / "data";
  fs::create_directories(root / "SA06");
  int status = -1;
  std::string err;
  const std::string out = RunIn(root, "-r1", &err, &status, (bin / "tumblebench").string());
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Count(ReadFile(log), " SA06_down.csv\n"), 1u) << err;
  EXPECT_TRUE(Contains(out, "tumblebench: S06T20R01.csv, not found.\n")) << out;
}

TEST(DeviceWalkTest, RootAndSubjectLabelFilesReplayDeviceRecordings) {
  TempDir dir;
  const fs::path root = dir.path() / "ward";
  fs::create_directories(root / "SA01");
  fs::create_directories(root / "SA02");
  fs::create_directories(root / "notes");
  WriteFile((root / "ward_device.csv").string(), std::string(kHeader) + "S00T06,walk,1,0,0\n");
  WriteFile((root / "S00T06R01.csv").string(), DeviceRecording(30));
  WriteFile((root / "SA01" / "SA01_device.csv").string(),
            std::string(kHeader) + "S01T06,walk,3,100,200\n,,12,0,0\nS01T20,fall,1,0,0\n");
  WriteFile((root / "SA01" / "S01T06R03.csv").string(), DeviceRecording(40));
  WriteFile((root / "SA01" / "S01T06R12.csv").string(), DeviceRecording(3));
  WriteFile((root / "SA01" / "S01T20R01.csv").string(), DeviceRecording(6));
  // KFall files in a subject folder are not what the device walk reads.
  WriteFile((root / "SA01" / "SA01_all.csv").string(), std::string(kHeader) + "S01T07,d,1,0,0\n");
  WriteFile((root / "notes" / "notes_device.csv").string(), std::string(kHeader) + "S09T01,d,1,0,0\n");

  int status = -1;
  std::string err;
  const std::string out = RunIn(root, "-all", &err, &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(Contains(out, "Log File : S00T06R01_DSV.csv\n\n30 data, processed.\n"
                            "result S00T06R01.csv : 06,   0,   0,   0 -> tn\n"))
      << out;
  // The frames of the label lines are not used: device recordings replay unlabelled.
  EXPECT_TRUE(Contains(out, "Log File : S01T06R03_DSV.csv\n\n40 data, processed.\n"
                            "result S01T06R03.csv : 06,   0,   0,   0 -> tn\n"))
      << out;
  EXPECT_TRUE(Contains(out, "result S01T06R12.csv : 06,   0,   0,   0 -> tn\n")) << out;
  EXPECT_TRUE(Contains(out, "result S01T20R01.csv : 20,   0,   0,   0 -> fn\n")) << out;
  EXPECT_EQ(Count(out, "result "), 4u) << out;
  EXPECT_FALSE(Contains(out, "\n\nS01T06R03.csv :")) << out;  // no frame line
  EXPECT_TRUE(fs::exists(root / "SA01" / "S01T06R03_DSV.csv"));
  EXPECT_TRUE(Contains(err, "SA02/SA02_device.csv, no label file; subject skipped")) << err;
}

}  // namespace
