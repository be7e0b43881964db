#ifndef TOOLS_GEN_DATASET_SENSOR_MODEL_H
#define TOOLS_GEN_DATASET_SENSOR_MODEL_H

#include <vector>

#include "tools/gen_dataset/body_track.h"
#include "tools/gen_dataset/random_stream.h"

// One recorded sample at 100 per second, in the units of a KFall trial file:
// acceleration in g, angular rate in deg/s (sensor axes x right, y down,
// z forward when standing), and the orientation as Euler angles in degrees
// (roll about x, pitch about y, yaw about z of a north-east-down frame, so an
// upright wearer reads a roll near +90).
struct SensorSample {
  double acc[3];
  double gyro[3];
  double euler[3];
};

// Full-scale ranges of the simulated sensor.
constexpr double kAccRangeG = 4.0;
constexpr double kGyroRangeDps = 2000.0;

// The sensor on the low back, riding on the trunk `offset` behind and above
// the pelvis and rotated by `mount`. Its orientation is the integral of its
// angular rate; the accelerometer measures the second derivative of its
// position minus gravity, both in its own axes. Each sample averages the
// interval it covers, then gets bias, noise and the range limits.
std::vector<SensorSample> SimulateSensor(const BodyTrack& track, const Quat& mount, RandomStream* rng);

// Recorded sample index (100 per second) during which the given tick lies.
int SampleOfTick(int tick);

#endif
