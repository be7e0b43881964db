#ifndef TOOLS_GEN_DATASET_FALL_MOTION_H
#define TOOLS_GEN_DATASET_FALL_MOTION_H

#include "tools/gen_dataset/body_track.h"

// One fall, from the loss of balance to lying still. The body tips over as a
// pendulum about a pivot (the feet, or the pelvis itself when falling off a
// seat) while the pivot may sink (knees giving way) and slide (a slip or
// sliding off a chair); gravity alone speeds up the tilt, so the pelvis
// accelerates downward and the measured acceleration drops below 1 g. At the
// first ground contact every motion is stopped by a short pulse of a few g,
// then the body settles into its lying pose. As in the KFall labels, the
// impact is the moment of the peak of that pulse.
struct FallPlan {
  double direction = 0.0;          // relative to the heading: 0 forward, pi/2 right, pi backward (rad)
  double leg_length = 0.9;         // pivot to pelvis (m); 0 puts the pivot at the pelvis
  double pendulum_length = 0.9;    // effective length for the tipping dynamics (m)
  double start_tilt = 0.05;        // tilt of the pivot-pelvis line toward the fall at onset (rad)
  double start_tilt_rate = 0.5;    // tilt rate given by the trip, slip or faint (rad/s)
  double carried_momentum = 0.0;   // share of the walking speed along the fall that adds to the tilt rate
  double contact_tilt = 1.2;       // tilt at the first ground contact (rad)
  double trunk_at_contact = 1.3;   // trunk lean toward the fall at contact (rad)
  double contact_height = 0.25;    // pelvis height at contact (m)
  double slide = 0.0;              // extra pivot travel along the fall direction (m)
  double pivot_momentum_seconds = 0.15;  // how long the feet keep their speed after the upset
  // On a slippery floor nothing pushes the body sideways: the pelvis keeps
  // its horizontal speed while the feet shoot away under it.
  bool feet_slide = false;
  double twist = 0.0;              // heading change during the descent (rad)
  double impact_seconds = 0.1;     // length of the stopping pulse
  double settle_seconds = 0.6;     // from the stop to the lying pose
  double lying_lean = 1.52;        // final trunk lean toward the fall (rad)
  double lying_height = 0.15;      // final pelvis height (m)
  double lying_seconds = 2.5;
};

// Appends the fall to the track and records its onset and impact ticks.
void AppendFall(BodyTrack* track, const FallPlan& plan);

#endif
