#ifndef HARNESS_EVAL_STATS_H
#define HARNESS_EVAL_STATS_H

#include <cstdint>

constexpr int kTaskSlots = 40;
constexpr int kModeSlots = 24;
// Rows of mode_counts besides the per-task ones.
constexpr int kAllRow = 0;
constexpr int kAdlRow = 38;
constexpr int kDownRow = 39;

// Outcome counters of one run; zeroed once by the entry point, never reset.
struct EvalStats {
  int32_t tp;
  int32_t tn;
  int32_t fp;
  int32_t fn;
  int32_t good;
  int32_t soso[5];  // [0] all; [1..4] by distance to impact
  int32_t early;
  int32_t late;
  int32_t task_errors[kTaskSlots];
  int32_t mode_counts[kTaskSlots][kModeSlots];  // column 0 is the row total
};

#endif
