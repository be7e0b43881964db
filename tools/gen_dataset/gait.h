#ifndef TOOLS_GEN_DATASET_GAIT_H
#define TOOLS_GEN_DATASET_GAIT_H

#include <vector>

#include "tools/gen_dataset/body_track.h"

// How a subject walks or jogs in one recording.
struct GaitStyle {
  bool jog = false;
  double reference_speed = 1.2;  // m/s at which the gait reaches its full amplitudes
  double step_rate = 1.9;        // steps per second at the reference speed
  double stance_fraction = 0.4;  // jogging: part of each step with a foot on the ground
  double bounce = 0.3;           // walking: vertical acceleration amplitude (g)
  double lean = 0.06;            // extra forward trunk lean at full speed (rad)
  double pitch_swing = 0.035;    // forward-backward rocking of the trunk with each step (rad)
  double sway = 1.0;             // scales the side-to-side and twisting motion
};

// One piece of a path, run after the previous one.
struct GaitLeg {
  double seconds = 1.0;
  double end_speed = 0.0;      // reached smoothly over the leg (m/s)
  double turn = 0.0;           // heading change over the leg (rad)
  int stair_steps = 0;         // steps taken on stairs in this leg, the first ones of it
  double stair_rise = 0.0;     // height per stair step, negative going down (m)
  double stumble_at = -1.0;    // seconds into the leg where the foot catches, or -1
  double stumble_pitch = 0.3;  // forward lurch of the trunk at the stumble (rad)
};

// Appends walking or jogging along the legs, starting from the present pose.
void AppendGait(BodyTrack* track, const GaitStyle& style, const std::vector<GaitLeg>& legs);

#endif
