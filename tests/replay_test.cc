#include "harness/replay.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "harness/detection_log.h"
#include "harness/eval_stats.h"
#include "harness/scoring.h"
#include "harness/trace_file.h"
#include "tests/test_support.h"
#include "tumblix/tumblix.h"

namespace {

using test_support::KFallRecording;
using test_support::ReadLines;
using test_support::TempDir;
using test_support::WriteFile;

class ReplayTest : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(ProcessEvalStats(), 0, sizeof(EvalStats)); }

  std::string ReplayKFall(const std::string& path, int onset = 0, int impact = 0) {
    testing::internal::CaptureStdout();
    result_ = ReplayKFallRecording(path.c_str(), onset, impact);
    return testing::internal::GetCapturedStdout();
  }
  std::string ReplayDevice(const std::string& path, int onset = 0, int impact = 0) {
    testing::internal::CaptureStdout();
    result_ = ReplayDeviceRecording(path.c_str(), onset, impact);
    return testing::internal::GetCapturedStdout();
  }

  TempDir dir_;
  int result_ = 0;
};

TEST_F(ReplayTest, KFallThinsByDataLineCount) {
  const std::string even = dir_.File("S01T06R01.csv");
  WriteFile(even, KFallRecording(1000));
  const std::string out = ReplayKFall(even);
  EXPECT_EQ(result_, 0);
  EXPECT_NE(out.find("Log File : " + dir_.File("S01T06R01_DSV.csv") + "\n\n"), std::string::npos);
  EXPECT_NE(out.find("500 data, processed.\n"), std::string::npos);
  EXPECT_EQ(ReadLines(dir_.File("S01T06R01_DSV.csv")).size(), 501u);

  const std::string odd = dir_.File("S01T06R02.csv");
  WriteFile(odd, KFallRecording(999));
  EXPECT_NE(ReplayKFall(odd).find("500 data, processed.\n"), std::string::npos);
  EXPECT_EQ(ProcessEvalStats()->tn, 2);
}

TEST_F(ReplayTest, KFallDropsNonDataLinesWithoutCountingThem) {
  const std::string path = dir_.File("S01T06R01.csv");
  WriteFile(path,
            "TimeStamp(s),FrameCounter,AccX\n"
            "0.00,0,1.0,0,0,0,0,0\n"  // used (count 0)
            "comment line\n"
            " 0.01,1,2.0,0,0,0,0,0\n"
            "+0.01,1,2.0,0,0,0,0,0\n"
            "\n"
            "0.01,1,0.5,0,0,0,0,0\n"   // count 1: dropped
            "0.02,2,-1.0,0,0,0,0,0\n"  // count 2: used
            ".5,3,3.0,0,0,0,0,0\n");
  ReplayKFall(path);
  const std::vector<std::string> rows = ReadLines(dir_.File("S01T06R01_DSV.csv"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].substr(0, 16), "1,8192,0,0,0,0,0");
  EXPECT_EQ(rows[2].substr(0, 17), "2,-8192,0,0,0,0,0");
}

TEST_F(ReplayTest, TraceRowFormatAndColumns) {
  const std::string path = dir_.File("S01T06R01.csv");
  WriteFile(path, KFallRecording(4, 0.0, -1.0, 0.0, 1.0, 100.0, -0.5));
  ReplayKFall(path);
  const std::vector<std::string> rows = ReadLines(dir_.File("S01T06R01_DSV.csv"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0],
            "seqno,accX,accY,accZ,gyroX,gyroY,gyroZ,raw_acc,lpf_acc,raw_gyro,lpf_gyro,roll,pitch,"
            "yaw,vv,X/D,normal,down,detect,tc");
  // raw_acc 100 and lpf_acc 23 on the first sample; gyro magnitude of
  // (65, 6553, -32) counts is 99.996 deg/s, filtered 23.
  EXPECT_EQ(rows[1].substr(0, 37), "1,0,-8192,0,65,6553,-32,100,23,99,23,");
  EXPECT_NE(rows[1].find(",0.00,X,"), std::string::npos);
  EXPECT_EQ(rows[1].substr(rows[1].size() - 4), ",0,0");
}

TEST_F(ReplayTest, LabelledSpanUsesTheOneBasedSequenceNumber) {
  const std::string path = dir_.File("S01T20R01.csv");
  WriteFile(path, KFallRecording(20));
  ReplayKFall(path, 3, 6);
  const std::vector<std::string> rows = ReadLines(dir_.File("S01T20R01_DSV.csv"));
  ASSERT_EQ(rows.size(), 11u);
  std::string marks;
  for (size_t i = 1; i < rows.size(); ++i) {
    marks += rows[i].find(",D,") != std::string::npos ? 'D' : 'X';
  }
  EXPECT_EQ(marks, "XXDDDXXXXX");
}

TEST_F(ReplayTest, UnlabelledRecordingMarksEveryRowX) {
  const std::string path = dir_.File("S01T20R01.csv");
  WriteFile(path, KFallRecording(20));
  ReplayKFall(path, 0, 6);
  for (const std::string& row : ReadLines(dir_.File("S01T20R01_DSV.csv"))) {
    EXPECT_EQ(row.find(",D,"), std::string::npos);
  }
}

TEST_F(ReplayTest, ShortDeviceFileIsScoredAsNotDetected) {
  const std::string path = dir_.File("S01T20R01.csv");
  WriteFile(path, "h1\n1,2,3,4,5,6,7\n1,2,3,4,5,6,7\n1,2,3,4,5,6,7\n1,2,3,4,5,6,7\n6,1,2,3,4,5,6\n");
  const std::string out = ReplayDevice(path);
  EXPECT_NE(out.find("0 data, processed.\n"), std::string::npos);
  EXPECT_NE(out.find("-> fn\n"), std::string::npos);
  EXPECT_EQ(ReadLines(dir_.File("S01T20R01_DSV.csv")).size(), 1u);
  EXPECT_EQ(ProcessEvalStats()->fn, 1);
}

TEST_F(ReplayTest, DeviceFormatSkipsSixLinesAndReadsCounts) {
  const std::string path = dir_.File("walk01.txt");
  WriteFile(path, "a\nb\nc\nd\ne\n1,1,1,1,1,1,1\n7,12,,100,200\n8,-5,6,7,8,9,10,11\n");
  const std::string out = ReplayDevice(path);
  EXPECT_NE(out.find("2 data, processed.\n"), std::string::npos);
  const std::vector<std::string> rows = ReadLines(dir_.File("walk01_DSV.csv"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].substr(0, 17), "1,12,100,200,0,0,");
  EXPECT_EQ(rows[2].substr(0, 16), "2,-5,6,7,8,9,10,");
}

TEST_F(ReplayTest, MissingRecordingIsReportedAndNotScored) {
  const std::string path = dir_.File("S01T20R09.csv");
  EXPECT_EQ(ReplayKFall(path), "tumblebench: " + path + ", not found.\n");
  EXPECT_EQ(result_, -1);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("S01T20R09_DSV.csv")));
  const EvalStats* s = ProcessEvalStats();
  EXPECT_EQ(s->tp + s->tn + s->fp + s->fn, 0);
}

TEST_F(ReplayTest, TraceThatCannotBeCreatedGivesUpTheRecording) {
  const std::string path = dir_.File("S01T06R01.csv");
  WriteFile(path, KFallRecording(10));
  std::filesystem::create_directory(dir_.File("S01T06R01_DSV.csv"));  // a folder in the way
  const std::string out = ReplayKFall(path);
  EXPECT_EQ(result_, -1);
  EXPECT_EQ(out.find("processed"), std::string::npos);
  EXPECT_EQ(ProcessEvalStats()->tn, 0);
}

TEST_F(ReplayTest, PathsTooShortForATraceNameAreRefused) {
  const std::filesystem::path old_dir = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  WriteFile("abc", KFallRecording(10));
  testing::internal::CaptureStderr();
  const std::string out = ReplayKFall("abc");
  const std::string err = testing::internal::GetCapturedStderr();
  std::filesystem::current_path(old_dir);
  EXPECT_EQ(result_, -1);
  EXPECT_EQ(out, "");
  EXPECT_NE(err.find("abc"), std::string::npos);
}

TEST_F(ReplayTest, OverlongPathIsRefusedWithoutOverflow) {
  const std::string path = dir_.File(std::string(200, 'x') + ".csv");
  WriteFile(path, KFallRecording(10));
  std::string long_path = dir_.path().string();
  while (long_path.size() < 2100) long_path += "/.";
  long_path += "/" + std::string(200, 'x') + ".csv";
  testing::internal::CaptureStderr();
  ReplayKFall(long_path);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("no trace name"), std::string::npos);
  EXPECT_EQ(result_, -1);
}

TEST_F(ReplayTest, OverlongLinesArriveInPiecesWithoutHarm) {
  const std::string path = dir_.File("S01T06R01.csv");
  std::string body = "Title\n0.0,0,0.0,-1.0,0.0,0,0,0";
  body += std::string(5000, ',') + "\n0.01,1,0,-1,0,0,0,0\n";
  WriteFile(path, body);
  const std::string out = ReplayKFall(path);
  EXPECT_EQ(result_, 0);
  EXPECT_NE(out.find(" data, processed.\n"), std::string::npos);
}

TEST(TraceFileTest, WriteFailuresAreReportedAtClose) {
  FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "/dev/full is not available";
  TumblixConfig cfg;
  tumblix_default_config(&cfg);
  auto detector = std::make_unique<TumblixDetector>();
  ASSERT_NE(tumblix_create(detector.get(), &cfg), nullptr);
  AttachTraceStream(full);
  WriteTraceHeader();
  const RawSample sample = {0, 0, 8192, 0, 0, 0};
  for (int i = 0; i < 2000; ++i) ProcessSample(detector.get(), &sample, 0, 0);
  EXPECT_FALSE(CloseTrace());
  EXPECT_EQ(TraceHandle(), nullptr);
  tumblix_destroy(detector.get());
}

TEST(DetectionLogTest, TimingLinesNameTheFirstMode) {
  DetectionLog log = {0, 0, 0};
  testing::internal::CaptureStdout();
  NoteDetection(&log, 4, 130, 120, 150);
  NoteDetection(&log, 2, 155, 120, 150);
  NoteDetection(&log, 2, 100, 120, 150);
  NoteDetection(&log, 2, 150, 120, 150);
  NoteDetection(&log, 2, 120, 120, 150);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "InTime Detect : 130, wDownMode : 4\n"
            "Late Detect : 155, wDownMode : 4 (5)\n"
            "Early Detect : 100, wDownMode : 4 (20)\n"
            "Late Detect : 150, wDownMode : 4 (0)\n"
            "InTime Detect : 120, wDownMode : 4\n");
  EXPECT_EQ(log.count, 5);
  EXPECT_EQ(log.first_mode, 4);
  EXPECT_EQ(log.first_frame, 130);
}

TEST(DetectionLogTest, UnlabelledRecordingsPrintNoTiming) {
  DetectionLog log = {0, 0, 0};
  testing::internal::CaptureStdout();
  NoteDetection(&log, 3, 40, 0, 0);
  NoteDetection(&log, 5, 41, 0, 90);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(log.first_frame, 40);
  EXPECT_EQ(log.first_mode, 3);
}

}  // namespace
