#ifndef TOOLS_GEN_DATASET_FALL_MOTION_H
#define TOOLS_GEN_DATASET_FALL_MOTION_H

#include "tools/gen_dataset/body_track.h"

// One fall, from the loss of balance to lying still, simulated tick by tick
// in two phases. First the body tips over as a pendulum about a pivot (the
// feet) while the legs still push against it; the pivot may sink (knees
// giving way) and slide (a slip). For a fall off a seat the pelvis rests on
// the seat instead and slides off its edge. Once nothing supports the body
// any more (the legs would have to pull to keep it on the pendulum, or the
// pelvis has left the seat) it flies: the pelvis follows gravity and the
// trunk keeps turning, so the measured acceleration drops toward 0 g. When
// the pelvis reaches the floor every motion is stopped by a short pulse of a
// few g, then the body settles into its lying pose. As in the KFall labels,
// the onset is the loss of balance and the impact the peak of that pulse.
struct FallPlan {
  double direction = 0.0;          // relative to the heading: 0 forward, pi/2 right, pi backward (rad)
  double leg_length = 0.9;         // pivot to pelvis (m); 0: the pelvis sits on a seat
  double pendulum_length = 0.9;    // effective length for the tipping dynamics (m)
  double start_tilt = 0.05;        // tilt of the pivot-pelvis line toward the fall at onset (rad)
  double start_tilt_rate = 0.5;    // tilt rate given by the trip, slip or faint (rad/s)
  double carried_momentum = 0.0;   // share of the speed along the fall that adds to the tilt rate
  double knee_sink = 0.0;          // how far the pivot sinks while the knees give way (m)
  double slide = 0.0;              // pivot travel along the fall direction (m); off the seat for seated falls
  double seat_seconds = 0.4;       // seated falls: time until the pelvis leaves the seat
  double pivot_momentum_seconds = 0.15;  // how long the feet keep their speed after the upset
  // On a slippery floor nothing pushes the body sideways: the pelvis keeps
  // its horizontal speed while the feet shoot away under it.
  bool feet_slide = false;
  double contact_tilt = 1.2;       // expected tilt at ground contact (rad)
  double trunk_at_contact = 1.3;   // trunk lean toward the fall at that tilt (rad)
  double contact_height = 0.25;    // pelvis height at ground contact (m)
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
