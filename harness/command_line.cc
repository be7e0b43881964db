#include "harness/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness/dataset_runs.h"
#include "harness/eval_stats.h"
#include "harness/replay.h"
#include "harness/report.h"
#include "harness/text_to_int.h"

void PrintUsage() {
  std::printf("Usage: tumblebench <file_name>\n");
  std::printf("          tumblebench -r\n");
  std::printf("          tumblebench -r1\n");
  std::printf("          tumblebench -r2\n");
  std::printf("          tumblebench -r10\n");
  std::printf("          tumblebench -f <file_name> [<onset_frame> <impact_frame>]\n");
  std::printf("          tumblebench -tf <file_name> [<onset_frame> <impact_frame>]\n");
}

namespace {

int Usage() {
  PrintUsage();
  return 1;
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
  EvalStats* stats = ProcessEvalStats();
  std::memset(stats, 0, sizeof(*stats));

  const int count = argc - 1;
  if (count == 1) {
    RunDataSetCommand(argv[1]);
  } else if (count == 2 || count == 4) {
    const bool kfall = std::strcmp(argv[1], "-f") == 0;
    const bool device = !kfall && std::strcmp(argv[1], "-tf") == 0;
    if (!kfall && !device) return Usage();
    const int onset = count == 4 ? TextToInt(argv[3]) : 0;
    const int impact = count == 4 ? TextToInt(argv[4]) : 0;
    if (kfall) {
      ReplayKFallRecording(argv[2], onset, impact);
    } else {
      ReplayDeviceRecording(argv[2], onset, impact);
    }
  } else {
    return Usage();
  }

  PrintStatistics(stats);
  return 0;
}
