// Nothing is allocated per sample: not by the detector's step, and not by
// the replay around it (reader, trace row, console lines). This binary
// replaces the global operator new and delete to count the allocations
// (bench/allocation_count.cc); it is a program of its own so that the
// replacement does not touch the rest of the suite.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/allocation_count.h"
#include "bench/silenced_stdout.h"
#include "harness/replay.h"
#include "harness/sample_stream.h"
#include "harness/trace_file.h"
#include "tests/test_support.h"
#include "tumblix/tumblix.h"

namespace {

// Counts the operator new calls made between construction and Stop().
class AllocationWindow {
 public:
  AllocationWindow() : start_(OperatorNewCalls()) {}
  long Stop() const { return OperatorNewCalls() - start_; }

 private:
  long start_;
};

// Allocations inside tumblix_process over every sample of a recording, and
// the samples that ran an inference.
struct StepCount {
  long allocations = 0;
  long samples = 0;
  long evaluated = 0;
};

void CountSteps(FILE* recording, StepCount* count) {
  TumblixConfig cfg;
  tumblix_default_config(&cfg);
  auto detector = std::make_unique<TumblixDetector>();
  if (tumblix_create(detector.get(), &cfg) == nullptr) {
    ADD_FAILURE() << "detector not created";
    return;
  }
  char line[kRecordingLineBufferSize];
  RawSample sample = {0, 0, 0, 0, 0, 0};
  ForEachRecordedSample(recording, RecordingFormat::kKFall, line, sizeof(line), &sample, [&](const RawSample& s) {
    AllocationWindow window;
    tumblix_process(detector.get(), &s);
    count->allocations += window.Stop();
    count->samples += 1;
    const int32_t n = detector->sample_count;
    if (n >= kFirstDetectableSample && n < detector->window_end) count->evaluated += 1;
  });
  tumblix_destroy(detector.get());
}

// CountSteps over every recording named, with the console lines silenced.
void CountStepsIn(const std::vector<std::filesystem::path>& recordings, StepCount* count) {
  SilencedStdout quiet;
  for (const std::filesystem::path& path : recordings) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
      ADD_FAILURE() << "cannot open " << path;
      continue;
    }
    CountSteps(file, count);
    std::fclose(file);
  }
}

// A walk below 0.91 g keeps the detection window open, so that every sample
// from the 25th on runs the classifier and the rules; a turning, tilted one
// moves the attitude filter through its correction.
TEST(HeapPerSample, TheDetectorStepAllocatesNothing) {
  test_support::TempDir dir;
  test_support::WriteFile(dir.File("S01T20R01.csv"), test_support::KFallRecording(4000, 0.1, -0.5, 0.2, 30, -20, 45));
  test_support::WriteFile(dir.File("S01T01R01.csv"), test_support::KFallRecording(4000, 0.3, -0.9, 0.2, 5, 2, -3));
  StepCount count;
  CountStepsIn({dir.File("S01T20R01.csv"), dir.File("S01T01R01.csv")}, &count);
  EXPECT_EQ(count.samples, 4000);
  EXPECT_GT(count.evaluated, 1900);
  EXPECT_EQ(count.allocations, 0);

  const std::filesystem::path store = std::filesystem::path(TUMBLEBENCH_SOURCE_DIR) / ".." / "shared" / "kfall";
  if (!std::filesystem::exists(store / "sensor_data" / "SA06.tar.xz")) {
    GTEST_SKIP() << "no real KFall recordings at " << store << "; the real subject is skipped";
  }
  test_support::TempDir root;
  int status = -1;
  test_support::RunCommand(
      "bash '" + (store / "unpack.sh").string() + "' '" + root.path().string() + "' SA06 >/dev/null 2>&1", &status);
  ASSERT_EQ(status, 0);
  StepCount real;
  std::vector<std::filesystem::path> recordings;
  for (const auto& entry : std::filesystem::directory_iterator(root.path() / "sensor_data" / "SA06")) {
    recordings.push_back(entry.path());
  }
  CountStepsIn(recordings, &real);
  EXPECT_GT(real.samples, 50000);
  EXPECT_GT(real.evaluated, 10000);
  EXPECT_EQ(real.allocations, 0);
}

// A whole replay allocates what it allocates per recording (the
// classifier's runtime objects), the same for 500 samples as for 5000.
TEST(HeapPerSample, AReplayAllocatesTheSameWhateverItsLength) {
  test_support::TempDir dir;
  test_support::WriteFile(dir.File("S01T20R01.csv"), test_support::KFallRecording(1000, 0.1, -0.5, 0.2, 30, -20, 45));
  test_support::WriteFile(dir.File("S01T20R02.csv"), test_support::KFallRecording(10000, 0.1, -0.5, 0.2, 30, -20, 45));
  long allocations[2] = {0, 0};
  int results[2] = {-1, -1};
  {
    SilencedStdout quiet;
    const std::string paths[2] = {dir.File("S01T20R01.csv"), dir.File("S01T20R02.csv")};
    ReplayKFallRecording(paths[0].c_str(), 120, 150);  // first use of the process-wide state
    for (int k = 0; k < 2; ++k) {
      AllocationWindow window;
      results[k] = ReplayKFallRecording(paths[k].c_str(), 120, 150);
      allocations[k] = window.Stop();
    }
  }
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 0);
  EXPECT_EQ(test_support::ReadLines(dir.File("S01T20R02_DSV.csv")).size(), 5001u);
  EXPECT_GT(allocations[0], 0);  // the window counts what the replay allocates
  EXPECT_EQ(allocations[1], allocations[0]);
}

}  // namespace
