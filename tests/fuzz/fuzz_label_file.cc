// Arbitrary bytes as a label file, run as a KFall label file and as a
// device label file in a folder that holds a few small recordings, so that
// lines naming S01T20R01, S01T20R02, S01T06R01 or S01T21R01 (a folder, which
// cannot be read) reach the replay.
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "harness/eval_stats.h"
#include "harness/label_file.h"
#include "harness/scoring.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void WriteText(const std::string& name, const std::string& text) {
  fuzz_support::WriteScratchFile(name, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// 40 KFall lines (20 samples) and 26 device lines (20 samples): enough for
// the readers and the detector, small enough to keep the runs fast.
std::string SmallRecording(bool device, double acc) {
  std::string text = device ? "d\nd\nd\nd\nd\nindex,ax,ay,az,gx,gy,gz\n"
                            : "TimeStamp(s),FrameCounter,AccX,AccY,AccZ,GyrX,GyrY,GyrZ\n";
  char line[128];
  for (int i = 0; i < (device ? 20 : 40); ++i) {
    if (device) {
      std::snprintf(line, sizeof(line), "%d,0,%d,0,%d,0,0\n", i, static_cast<int>(-8192 * acc), i * 10);
    } else {
      std::snprintf(line, sizeof(line), "%.2f,%d,0.0,%.3f,0.0,%d.0,0.0,0.0\n", i * 0.01, i, -acc, i);
    }
    text += line;
  }
  return text;
}

char g_start_dir[4096];
int g_stderr = -1;
int g_null = -1;

// The runs name every odd line on stderr; at fuzzing speed that would be
// most of the work. Sanitizer reports keep a copy of the real stderr.
void QuietStderr(bool quiet) {
  if (g_null >= 0) dup2(quiet ? g_null : g_stderr, STDERR_FILENO);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::SilenceStdout();
  g_stderr = dup(STDERR_FILENO);
  g_null = open("/dev/null", O_WRONLY);
  if (g_stderr >= 0) __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(g_stderr)));
  WriteText("S01T20R01.csv", SmallRecording(false, 1.0));
  WriteText("S01T20R02.csv", SmallRecording(false, 0.2));
  WriteText("S01T06R01.csv", SmallRecording(true, 1.0));
  const std::string folder = fuzz_support::ScratchDir() + "/S01T21R01.csv";
  mkdir(folder.c_str(), 0755);
  if (getcwd(g_start_dir, sizeof(g_start_dir)) == nullptr) __builtin_trap();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz_support::WriteScratchFile("labels.csv", data, size);
  // Recordings named by a label file open in the current directory; the
  // fuzzer's own corpus paths may be relative to the one it started in.
  if (chdir(fuzz_support::ScratchDir().c_str()) != 0) __builtin_trap();
  // Every replay is scored at most once, and only for a line of the file;
  // every line but the last ends in an LF or a CR (lone CRs end lines in a
  // file whose header ends in one).
  const int lines = static_cast<int>(std::count(data, data + size, '\n') + std::count(data, data + size, '\r')) + 1;

  std::memset(ProcessEvalStats(), 0, sizeof(EvalStats));
  QuietStderr(true);
  const int kfall_result = RunKFallLabelFile(path.c_str());
  QuietStderr(false);
  Check(kfall_result == 0);
  const EvalStats* stats = ProcessEvalStats();
  const int kfall_scored = stats->tp + stats->tn + stats->fp + stats->fn;
  Check(kfall_scored >= 0 && kfall_scored < lines);

  std::memset(ProcessEvalStats(), 0, sizeof(EvalStats));
  QuietStderr(true);
  const int device_result = RunDeviceLabelFile(path.c_str());
  QuietStderr(false);
  Check(device_result == 0);
  const int device_scored = stats->tp + stats->tn + stats->fp + stats->fn;
  // Both runs name the same recordings, and whatever one reader can replay
  // the other can too.
  Check(device_scored == kfall_scored);

  // A label-file run never moves the process to another folder.
  char now[sizeof(g_start_dir)];
  Check(getcwd(now, sizeof(now)) != nullptr && std::strcmp(now, fuzz_support::ScratchDir().c_str()) == 0);
  if (chdir(g_start_dir) != 0) __builtin_trap();
  return 0;
}
