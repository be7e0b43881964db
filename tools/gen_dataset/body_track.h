#ifndef TOOLS_GEN_DATASET_BODY_TRACK_H
#define TOOLS_GEN_DATASET_BODY_TRACK_H

#include <functional>
#include <limits>
#include <vector>

#include "tools/gen_dataset/rotation.h"

// The simulated body moves on a 1 kHz grid, ten ticks per recorded sample,
// so the accelerations obtained by differencing the positions are accurate
// and the recorded values can be averaged over each sample's interval as a
// real sensor's anti-alias filter would.
constexpr double kTickSeconds = 0.001;
constexpr int kTicksPerSample = 10;
constexpr double kGravity = 9.80665;  // m/s^2

// The pose of one tick: the pelvis position in a world frame with x east, y
// north and z up (metres), and the trunk's orientation as heading (the way the
// body faces, from +x toward +y), pitch (forward lean, positive forward) and
// roll (sideways lean, positive to the right), all in radians; the heading is
// not wrapped.
enum Channel { kPelvisX, kPelvisY, kPelvisZ, kPitch, kRoll, kHeading, kChannelCount };

struct BodyTrack {
  std::vector<double> channel[kChannelCount];
  // Tick of the loss of balance and of the first ground contact of a fall;
  // -1 for daily activities.
  int onset_tick = -1;
  int impact_tick = -1;
};

struct ChannelState {
  double value, rate, acceleration;
};

void StartTrack(BodyTrack* track, Vec3 pelvis, double pitch, double roll, double heading);
int TickCount(const BodyTrack& track);
double Last(const BodyTrack& track, int channel);
// Value, rate and acceleration at the last tick, by finite differences.
ChannelState StateOf(const BodyTrack& track, int channel);
Vec3 PelvisVelocity(const BodyTrack& track);
int SecondsToTicks(double seconds);

// Target of a smooth move. Fields left NaN keep their channel where its
// present motion brings it to rest.
struct PoseGoal {
  double forward = 0.0;  // pelvis displacement along the heading at the start (m)
  double left = 0.0;     // and to the left of it (m)
  double height = std::numeric_limits<double>::quiet_NaN();  // pelvis height (m)
  double pitch = std::numeric_limits<double>::quiet_NaN();   // trunk angles (rad)
  double roll = std::numeric_limits<double>::quiet_NaN();
  double turn = 0.0;                 // heading change (rad)
  double end_vertical_speed = 0.0;   // pelvis speed at the end, up positive (m/s)
};

// Quintic move from the present position, rate and acceleration of every
// channel to the goal, arriving at rest (but for end_vertical_speed).
void AppendMove(BodyTrack* track, const PoseGoal& goal, double seconds);
// Keeps the pose; residual motion first dies out over a short settling time.
void AppendHold(BodyTrack* track, double seconds);
// Brings every channel's rate to zero over `seconds` with a smooth
// deceleration pulse: a contact with a seat, the floor or a bed. Returns the
// first tick of the pulse.
int AppendStop(BodyTrack* track, double seconds);

// Appends `ticks` ticks whose values `pose(j, values)` gives for j = 1..ticks
// (j = 0 is the joint with the present track). Any mismatch of position or
// rate at the joint is blended away within a tenth of a second, so the
// position stays continuous in value and rate and no acceleration spike
// appears where two movements meet.
void AppendBlended(BodyTrack* track, int ticks,
                   const std::function<void(int j, double values[kChannelCount])>& pose);

// Makes the track end on a whole number of samples (one tick plus a multiple
// of ten) by holding the last pose.
void PadToWholeSamples(BodyTrack* track);

#endif
