// A long run in small: a generated data set of a few hundred recordings in
// one walk. Every recording must be scored exactly once, every trace must
// hold every sample, and the program's peak memory must not grow with the
// number of recordings (tools/soak.sh runs the same checks on thousands).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/generated_data.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::ReadLines;
using test_support::TempDir;
using test_support::TumblebenchPath;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

struct MeasuredRun {
  std::string out;
  std::string err;
  int status = -1;
  long peak_rss_kb = -1;
};

// GNU time reports the peak of the process it starts itself. A process
// forked from this test binary would not do: its peak counts the test
// binary's own pages from before the exec, which dwarf tumblebench's.
constexpr char kGnuTime[] = "/usr/bin/time";

// Runs tumblebench with one argument in dir; the peak resident size of that
// process alone comes from GNU time (-1 without it).
MeasuredRun RunMeasured(const fs::path& dir, const std::string& argument) {
  TempDir logs;
  const std::string out_path = logs.File("out");
  const std::string err_path = logs.File("err");
  const std::string rss_path = logs.File("rss");
  const std::string program = TumblebenchPath();
  const bool timed = access(kGnuTime, X_OK) == 0;
  MeasuredRun run;
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(126);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (timed) {
      execl(kGnuTime, "time", "-f", "%M", "-o", rss_path.c_str(), program.c_str(), argument.c_str(),
            static_cast<char*>(nullptr));
    } else {
      execl(program.c_str(), "tumblebench", argument.c_str(), static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  if (pid < 0) return run;
  int status = 0;
  struct rusage usage = {};
  if (wait4(pid, &status, 0, &usage) != pid) return run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (timed) {
    const std::string peak = ReadFile(rss_path);
    if (!peak.empty()) run.peak_rss_kb = std::atol(peak.c_str());
  }
  run.out = ReadFile(out_path);
  run.err = ReadFile(err_path);
  return run;
}

struct DataSet {
  std::set<std::string> recordings;  // subject/name of every recording listed
};

DataSet GenerateSet(const fs::path& root, int subjects, int trials) {
  int status = -1;
  const std::string text = generated_data::Generate(
      "--quiet --out '" + root.string() + "' --subjects " + std::to_string(subjects) + " --trials " +
          std::to_string(trials) + " --seed 5",
      &status);
  EXPECT_EQ(status, 0) << text;
  DataSet set;
  for (const auto& entry : fs::directory_iterator(root)) {
    const std::string subject = entry.path().filename().string();
    int malformed = 0;
    for (const generated_data::LabelRow& row :
         generated_data::ReadLabelFile((entry.path() / (subject + "_all.csv")).string(), &malformed)) {
      set.recordings.insert(subject + "/" + row.recording());
    }
    EXPECT_EQ(malformed, 0);
  }
  return set;
}

TEST(Soak, HundredsOfRecordingsEachScoredOnceWithFlatMemory) {
  TempDir dir;
  const fs::path small_root = dir.path() / "small";
  const fs::path large_root = dir.path() / "large";
  const DataSet small = GenerateSet(small_root, 1, 1);
  const DataSet large = GenerateSet(large_root, 2, 3);
  ASSERT_EQ(small.recordings.size(), 36u);
  ASSERT_EQ(large.recordings.size(), 216u);

  const MeasuredRun small_run = RunMeasured(small_root, "-r");
  const MeasuredRun run = RunMeasured(large_root, "-r");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");

  // Every result line names a different recording, and together they are
  // exactly the recordings listed. Result lines name a recording as its
  // label file does, without the subject folder.
  std::map<std::string, int> results;
  std::map<std::string, int> samples;  // recording name -> samples the replay reported
  std::vector<std::string> lines;
  {
    size_t start = 0;
    while (start < run.out.size()) {
      const size_t end = run.out.find('\n', start);
      lines.push_back(run.out.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  int pending_samples = -1;
  for (const std::string& line : lines) {
    int count = 0;
    if (std::sscanf(line.c_str(), "%d data, processed.", &count) == 1) pending_samples = count;
    if (line.rfind("result ", 0) == 0) {
      const std::string name = line.substr(7, line.find(" : ") - 7);
      results[name] += 1;
      samples[name] = pending_samples;
      pending_samples = -1;
    }
  }
  // Subjects share no recording names (S01..., S02...), so names alone tell
  // the recordings apart.
  std::set<std::string> expected;
  for (const std::string& recording : large.recordings) expected.insert(fs::path(recording).filename().string());
  ASSERT_EQ(expected.size(), large.recordings.size());
  size_t scored_once = 0;
  for (const auto& [name, times] : results) {
    EXPECT_EQ(times, 1) << name;
    EXPECT_EQ(expected.count(name), 1u) << name;
    if (times == 1) ++scored_once;
  }
  EXPECT_EQ(scored_once, expected.size());

  // The report counts the same recordings.
  int tn = -1, fp = -1, tp = -1, fn = -1;
  float ignored = 0;
  const size_t adl = run.out.find("# ADL STAT: ");
  const size_t down = run.out.find("# DOWN STAT: ");
  ASSERT_NE(adl, std::string::npos);
  ASSERT_NE(down, std::string::npos);
  std::sscanf(run.out.c_str() + adl, "# ADL STAT: tn %d(%f%%), fp %d", &tn, &ignored, &fp);
  std::sscanf(run.out.c_str() + down, "# DOWN STAT: tp %d(%f%%)", &tp, &ignored);
  const size_t fn_at = run.out.find("}, fn ", down);
  ASSERT_NE(fn_at, std::string::npos);
  fn = std::atoi(run.out.c_str() + fn_at + 6);
  EXPECT_EQ(tn + fp + tp + fn, static_cast<int>(large.recordings.size()));

  // Every trace holds its title line and one row per sample fed.
  for (const std::string& recording : large.recordings) {
    const std::string name = fs::path(recording).filename().string();
    const std::string trace = test_support::TraceOf((large_root / recording).string());
    ASSERT_GT(samples[name], 0) << name;
    EXPECT_EQ(ReadLines(trace).size(), static_cast<size_t>(samples[name]) + 1) << trace;
  }

  // Six times the recordings in the same footprint: nothing is kept per
  // recording. The sanitizers' quarantine grows with every allocation, so
  // only the plain build is held to it.
  ASSERT_EQ(small_run.status, 0);
  if (small_run.peak_rss_kb < 0 || run.peak_rss_kb < 0) {
    std::printf("peak memory not checked: it needs GNU time at %s\n", kGnuTime);
  } else if (!kSanitized) {
    EXPECT_LE(run.peak_rss_kb, small_run.peak_rss_kb + 512)
        << "peak RSS " << small_run.peak_rss_kb << " kB over 36 recordings, " << run.peak_rss_kb << " kB over 216";
  }
}

}  // namespace
