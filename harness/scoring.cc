#include "harness/scoring.h"

#include <cstdio>

#include "harness/kfall_tasks.h"

namespace {

EvalStats g_eval_stats;

bool TaskHasSlot(int task) { return task >= 0 && task < kTaskSlots; }

void CountMode(EvalStats* stats, int row, int mode) {
  stats->mode_counts[row][0] += 1;
  if (mode < kModeSlots) stats->mode_counts[row][mode] += 1;
}

}  // namespace

EvalStats* ProcessEvalStats() { return &g_eval_stats; }


int ScoreRecording(EvalStats* stats, const char* path, int task, int first_mode,
                   int first_frame, int onset, int impact) {
  const int t = task;
  const int f = first_frame;
  const int m = first_mode;
  const bool fall = IsFallTask(t);
  std::printf("result %s : %02d, %3d, %3d, %3d -> ", path, t, f, onset, impact);

  if (fall) {
    if (f <= 0) {
      stats->fn += 1;
      if (TaskHasSlot(t)) stats->task_errors[t] += 1;
      std::printf("fn\n");
    } else {
      stats->tp += 1;
      if (f < onset) {
        stats->early += 1;
        std::printf("early (%d)[%d]\n", onset - f, m);
      } else if (f >= impact) {
        stats->late += 1;
        // A negative impact from the command line can put the distance
        // beyond the int range.
        std::printf("late (%lld)[%d]\n", static_cast<long long>(f) - impact, m);
      } else if (impact - f >= 5) {
        stats->good += 1;
        std::printf("good (%d)[%d]\n", impact - f, m);
      } else {
        stats->soso[0] += 1;
        stats->soso[impact - f] += 1;
        std::printf("soso (%d)[%d]\n", impact - f, m);
      }
    }
  } else {
    if (f <= 0) {
      stats->tn += 1;
      std::printf("tn\n");
    } else {
      stats->fp += 1;
      if (TaskHasSlot(t)) stats->task_errors[t] += 1;
      std::printf("fp [%d]\n", m);
    }
  }

  if (m > 0) {
    CountMode(stats, kAllRow, m);
    CountMode(stats, fall ? kDownRow : kAdlRow, m);
    if (TaskHasSlot(t)) CountMode(stats, t, m);
  }
  return 0;
}
