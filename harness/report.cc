#include "harness/report.h"

#include <cstdio>

#include "harness/kfall_tasks.h"

namespace {

constexpr int kFirstTask = 1;
constexpr int kLastTask = 36;

double Pct(int count, int sum) { return static_cast<double>(Percentage(count, sum)); }

void PrintModeLines(const EvalStats* stats, int row) {
  const int32_t* counts = stats->mode_counts[row];
  for (int mode = 1; mode < kModeSlots; ++mode) {
    if (counts[mode] > 0) {
      std::printf("    - %2d : %d (%.2f%%)\n", mode, counts[mode], Pct(counts[mode], counts[0]));
    }
  }
}

}  // namespace

float Percentage(int count, int sum) {
  if (sum == 0) return 0.0f;
  return static_cast<float>(count) * 100.0f / static_cast<float>(sum);
}

void PrintStatistics(const EvalStats* s) {
  std::printf("\n");
  const int adl = s->tn + s->fp;
  std::printf("# ADL STAT: tn %d(%.2f%%), fp %d(%.2f%%)\n", s->tn, Pct(s->tn, adl), s->fp,
              Pct(s->fp, adl));
  const int down = s->tp + s->fn;
  std::printf(
      "# DOWN STAT: tp %d(%.2f%%){good %d, soso %d (%d, %d, %d, %d), early %d, late %d}, fn "
      "%d(%.2f%%)\n",
      s->tp, Pct(s->tp, down), s->good, s->soso[0], s->soso[1], s->soso[2], s->soso[3],
      s->soso[4], s->early, s->late, s->fn, Pct(s->fn, down));

  const int all = s->tp + s->tn + s->fp + s->fn;
  const int ok = s->good + s->tn;
  const int troublemakers = s->fp + s->early + s->late + s->fn;
  std::printf("\n# ALL STAT: ok %d(%.2f%%), soso %d(%.2f%%), troublemakers %d(%.2f%%)\n", ok,
              Pct(ok, all), s->soso[0], Pct(s->soso[0], all), troublemakers,
              Pct(troublemakers, all));

  std::printf("\n# DETECTION STAT:\n\n");
  std::printf("  o ALL : %d\n\n", s->mode_counts[kAllRow][0]);
  PrintModeLines(s, kAllRow);
  std::printf("\n  o ADL : %d\n\n", s->mode_counts[kAdlRow][0]);
  PrintModeLines(s, kAdlRow);
  std::printf("\n  o DOWN : %d\n\n", s->mode_counts[kDownRow][0]);
  PrintModeLines(s, kDownRow);
  for (int task = kFirstTask; task <= kLastTask; ++task) {
    const int total = s->mode_counts[task][0];
    if (total > 0) {
      std::printf("\n  o Type-%02d : %d (%s)\n\n", task, total, kKFallTaskTable[task]);
      PrintModeLines(s, task);
    }
  }

  std::printf("\n# DETECTION ERROR:\n\n");
  for (int task = kFirstTask; task <= kLastTask; ++task) {
    if (s->task_errors[task] > 0) {
      std::printf("  o %02d: %d (%s)\n", task, s->task_errors[task], kKFallTaskTable[task]);
    }
  }
}
