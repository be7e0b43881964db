#ifndef HARNESS_SCORING_H
#define HARNESS_SCORING_H

#include "harness/eval_stats.h"

// The run's one statistics record.
EvalStats* ProcessEvalStats();

// Classifies one replayed recording, prints its result line and adds it to
// the statistics. Frames are 0-based sample indexes; onset and impact 0 mean
// no label. Task numbers outside 0..39 are classed by the fall/ADL rule but
// touch no per-task table; modes above 23 count only in row totals.
int ScoreRecording(EvalStats* stats, const char* path, int task, int first_mode,
                   int first_frame, int onset, int impact);

#endif
