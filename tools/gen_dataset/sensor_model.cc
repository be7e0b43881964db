#include "tools/gen_dataset/sensor_model.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kSensorBehindPelvis = 0.11;  // m
constexpr double kSensorAbovePelvis = 0.06;   // m

// Accelerometer and gyroscope error magnitudes (one standard deviation).
constexpr double kAccBiasG = 0.01;
constexpr double kAccNoiseG = 0.004;
constexpr double kGyroBiasDps = 0.4;
constexpr double kGyroNoiseDps = 0.15;

// Trunk axes (right, down, forward) of an upright body facing +x.
Quat UprightFacingEast() {
  // Rotation taking x to -y, y to -z and z to +x.
  return Normalized({0.5, -0.5, 0.5, -0.5});
}

Quat TrunkOrientation(const BodyTrack& track, int k) {
  const double heading = track.channel[kHeading][k];
  const double pitch = track.channel[kPitch][k];
  const double roll = track.channel[kRoll][k];
  return AxisAngle({0, 0, 1}, heading) * AxisAngle({0, 1, 0}, pitch) * AxisAngle({1, 0, 0}, roll) *
         UprightFacingEast();
}

// Frame change from east-north-up to north-east-down.
const Quat kNedFromEnu{0.0, 0.70710678118654752, 0.70710678118654752, 0.0};

}  // namespace

int SampleOfTick(int tick) { return std::max(0, (tick - 1) / kTicksPerSample); }

std::vector<SensorSample> SimulateSensor(const BodyTrack& track, const Quat& mount, RandomStream* rng) {
  const int ticks = TickCount(track);
  const int samples = (ticks - 1) / kTicksPerSample;

  std::vector<Quat> sensor(ticks);
  std::vector<Vec3> position(ticks);
  const Vec3 offset{0.0, -kSensorAbovePelvis, -kSensorBehindPelvis};  // in trunk axes
  for (int k = 0; k < ticks; ++k) {
    const Quat trunk = TrunkOrientation(track, k);
    sensor[k] = trunk * mount;
    const Vec3 pelvis{track.channel[kPelvisX][k], track.channel[kPelvisY][k], track.channel[kPelvisZ][k]};
    position[k] = pelvis + Rotate(trunk, offset);
  }

  // Angular rate in sensor axes over each tick, and the orientation obtained
  // by integrating it from the first pose.
  std::vector<Vec3> rate(std::max(0, ticks - 1));
  std::vector<Quat> attitude(ticks);
  attitude[0] = sensor[0];
  for (int k = 0; k + 1 < ticks; ++k) {
    rate[k] = (1.0 / kTickSeconds) * ToRotationVector(Conjugate(sensor[k]) * sensor[k + 1]);
    attitude[k + 1] = Normalized(attitude[k] * FromRotationVector(kTickSeconds * rate[k]));
  }

  // Specific force in g, sensor axes.
  std::vector<Vec3> force(ticks, Vec3{0, 0, 0});
  for (int k = 1; k + 1 < ticks; ++k) {
    const Vec3 a = (1.0 / (kTickSeconds * kTickSeconds)) * (position[k + 1] - 2.0 * position[k] + position[k - 1]);
    force[k] = (1.0 / kGravity) * RotateInverse(attitude[k], a + Vec3{0.0, 0.0, kGravity});
  }
  if (ticks >= 3) {
    force[0] = force[1];
    force[ticks - 1] = force[ticks - 2];
  }

  double acc_bias[3], gyro_bias[3];
  for (double& b : acc_bias) b = kAccBiasG * Gaussian(rng);
  for (double& b : gyro_bias) b = kGyroBiasDps * Gaussian(rng);

  std::vector<SensorSample> out(samples);
  for (int i = 0; i < samples; ++i) {
    Vec3 f{0, 0, 0}, w{0, 0, 0};
    for (int k = kTicksPerSample * i; k < kTicksPerSample * (i + 1); ++k) {
      f = f + force[k + 1];
      w = w + rate[k];
    }
    f = (1.0 / kTicksPerSample) * f;
    w = (kDegPerRad / kTicksPerSample) * w;
    const EulerAngles e = ToEuler(kNedFromEnu * attitude[kTicksPerSample * (i + 1)]);
    SensorSample& s = out[i];
    const double fv[3] = {f.x, f.y, f.z};
    const double wv[3] = {w.x, w.y, w.z};
    for (int axis = 0; axis < 3; ++axis) {
      const double acc_noise = kAccNoiseG * Gaussian(rng);
      const double gyro_noise = kGyroNoiseDps * Gaussian(rng);
      s.acc[axis] = std::clamp(fv[axis] + acc_bias[axis] + acc_noise, -kAccRangeG, kAccRangeG);
      s.gyro[axis] = std::clamp(wv[axis] + gyro_bias[axis] + gyro_noise, -kGyroRangeDps, kGyroRangeDps);
    }
    s.euler[0] = e.roll * kDegPerRad;
    s.euler[1] = e.pitch * kDegPerRad;
    s.euler[2] = e.yaw * kDegPerRad;
  }
  return out;
}
