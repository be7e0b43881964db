// Arbitrary bytes as a recording, replayed through both readers with the
// detector and the trace, as a user's file would be.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "harness/eval_stats.h"
#include "harness/replay.h"
#include "harness/scoring.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz_support::WriteScratchFile("S01T20R01.csv", data, size);
  std::memset(ProcessEvalStats(), 0, sizeof(EvalStats));
  ReplayKFallRecording(path.c_str(), 120, 150);
  ReplayDeviceRecording(path.c_str(), 0, 0);
  const EvalStats* stats = ProcessEvalStats();
  // Both replays must have been scored exactly once each.
  if (stats->tp + stats->tn + stats->fp + stats->fn != 2) __builtin_trap();
  return 0;
}
