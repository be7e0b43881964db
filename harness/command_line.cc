#include "harness/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness/dataset_runs.h"
#include "harness/eval_stats.h"
#include "harness/exit_status.h"
#include "harness/missing_results.h"
#include "harness/replay.h"
#include "harness/report.h"
#include "harness/run_model.h"
#include "harness/run_rules.h"
#include "harness/scoring.h"
#include "harness/subject_workers.h"
#include "harness/text_to_int.h"

void PrintUsage(std::FILE* stream) {
  std::fprintf(stream, "Usage: tumblebench <file_name>\n");
  std::fprintf(stream, "          tumblebench -r\n");
  std::fprintf(stream, "          tumblebench -r1\n");
  std::fprintf(stream, "          tumblebench -r2\n");
  std::fprintf(stream, "          tumblebench -r10\n");
  std::fprintf(stream, "          tumblebench -f <file_name> [<onset_frame> <impact_frame>]\n");
  std::fprintf(stream, "          tumblebench -tf <file_name> [<onset_frame> <impact_frame>]\n");
}

namespace {

int Usage() {
  PrintUsage(stdout);
  return kExitUsage;
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
  EvalStats* stats = ProcessEvalStats();
  std::memset(stats, 0, sizeof(*stats));

  const int count = argc - 1;
  const bool data_set = count == 1;
  const bool replay_form = count == 2 || count == 4;
  const bool kfall = replay_form && std::strcmp(argv[1], "-f") == 0;
  const bool device = replay_form && !kfall && std::strcmp(argv[1], "-tf") == 0;
  if (!data_set && !kfall && !device) return Usage();

  // A model that cannot be used would leave every recording unscored, which
  // would read like a run that found nothing.
  if (!LoadRunModel()) return kExitModelUnusable;
  if (!LoadRunRules()) return kExitRulesUnusable;

  if (data_set) {
    RunDataSetCommand(argv[1]);
  } else {
    const int onset = count == 4 ? TextToIntNamed(argv[3], "", "onset frame") : 0;
    const int impact = count == 4 ? TextToIntNamed(argv[4], "", "impact frame") : 0;
    if (kfall) {
      ReplayKFallRecording(argv[2], onset, impact);
    } else {
      ReplayDeviceRecording(argv[2], onset, impact);
    }
  }

  PrintStatistics(stats);
  // An empty report is easy to take for a run that found nothing.
  if (stats->tp + stats->tn + stats->fp + stats->fn == 0) {
    std::fprintf(stderr, "tumblebench: no recording was scored.\n");
  }
  if (RunIsIncomplete()) {
    const MissingResults* missing = ProcessMissingResults();
    if (missing->subjects > 0) {
      std::fprintf(stderr, "tumblebench: the report is incomplete: the subjects named above are missing.\n");
    }
    if (missing->files > 0) {
      std::fprintf(stderr,
                   "tumblebench: the report is incomplete: files named above could not be opened for want of "
                   "descriptors or memory; their recordings are missing.\n");
    }
    return kExitIncomplete;
  }
  return kExitRunDone;
}
