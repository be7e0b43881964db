#ifndef TOOLS_GEN_DATASET_ACTIVITY_SCRIPTS_H
#define TOOLS_GEN_DATASET_ACTIVITY_SCRIPTS_H

#include "tools/gen_dataset/body_track.h"
#include "tools/gen_dataset/random_stream.h"
#include "tools/gen_dataset/subject_profile.h"

constexpr int kFirstTask = 1;
constexpr int kLastTask = 36;

// The body's motion in one trial of a KFall task (1 to 36): a script of
// postures, gait and, for tasks 20 to 34, a fall. Trials differ in timing,
// speeds, directions and severity, all drawn from rng.
BodyTrack SimulateTask(int task, const SubjectProfile& subject, RandomStream* rng);

#endif
