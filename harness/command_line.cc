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

// A frame argument, read by the usual text-to-integer rules. One that those
// rules read only in part ("6.5e1" is 6) or saturate is used all the same,
// but named, since the number used is not the one the user meant.
int FrameArgument(const char* text, const char* which) {
  const int frame = TextToInt(text);
  switch (ClassifyIntText(text)) {
    case IntText::kExact:
      break;
    case IntText::kSaturated:
      std::fprintf(stderr, "tumblebench: the %s frame %s lies beyond the int range; it is read as %d.\n",
                   which, text, frame);
      break;
    case IntText::kPartial:
      std::fprintf(stderr, "tumblebench: the %s frame %s is not a plain decimal integer; it is read as %d.\n",
                   which, text, frame);
      break;
  }
  return frame;
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
    const int onset = count == 4 ? FrameArgument(argv[3], "onset") : 0;
    const int impact = count == 4 ? FrameArgument(argv[4], "impact") : 0;
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
