#ifndef TOOLS_GEN_DATASET_SUBJECT_PROFILE_H
#define TOOLS_GEN_DATASET_SUBJECT_PROFILE_H

#include <cstdint>

#include "tools/gen_dataset/rotation.h"

// What stays the same over one subject's session: body size, how briskly
// the subject moves, the furniture, and how the sensor sits on the belt.
struct SubjectProfile {
  int number = 1;
  double height = 1.70;        // m
  double hip_height = 0.90;    // pelvis height standing (m)
  double pace = 1.0;           // speed factor for walking and jogging
  double briskness = 1.0;      // > 1 makes postural changes quicker
  double chair_height = 0.45;  // seat heights (m)
  double sofa_height = 0.40;
  double sofa_recline = 0.4;   // backward lean against the sofa's back (rad)
  double bed_height = 0.50;
  // Rotation of the sensor relative to the trunk: a belt clip is never
  // perfectly aligned, which moves part of gravity from Y onto Z and X.
  Quat mount{1.0, 0.0, 0.0, 0.0};
};

SubjectProfile MakeSubjectProfile(uint64_t seed, int subject_number);

#endif
