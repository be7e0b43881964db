#include "tumblix/motion_features.h"

#include <cmath>
#include <cstring>

namespace {

constexpr int kSampleRateHz = 50;
constexpr int kCutoffHz = 5;
constexpr double kSamplePeriodS = 0.02;

}  // namespace

int32_t motion_magnitude(float x, float y, float z, float scale) {
  const float sum_sq = (x * x + y * y) + z * z;
  return static_cast<int32_t>(std::sqrt(sum_sq) * scale);
}

MotionFeatures* motion_features_init(MotionFeatures* features, const int32_t* feature_config) {
  std::memset(features, 0, sizeof(*features));
  features->feature_config = *feature_config;
  lpf3_init(&features->acc_lpf, kSampleRateHz, kCutoffHz);
  lpf3_init(&features->gyro_lpf, kSampleRateHz, kCutoffHz);
  attitude_init(&features->attitude);
  vv_init(&features->vv_state);
  return features;
}

int motion_features_update(MotionFeatures* features, const ConvertedSample* data) {
  features->raw_acc = motion_magnitude(data->accX, data->accY, data->accZ, 100.0f);

  LowPassFilter3* acc = &features->acc_lpf;
  lpf3_update(acc, data->accX, data->accY, data->accZ);
  features->lpf_acc = motion_magnitude(acc->out[0], acc->out[1], acc->out[2], 100.0f);

  ConvertedSample ifx;
  ifx.accX = acc->out[0];
  ifx.accY = acc->out[1];
  ifx.accZ = acc->out[2];
  ifx.gyroX = ifx.gyroY = ifx.gyroZ = 0.0f;  // not read by the estimator
  features->vv = vv_update(&features->vv_state, &ifx);

  features->raw_gyro = motion_magnitude(data->gyroX, data->gyroY, data->gyroZ, 1.0f);

  LowPassFilter3* gyro_lpf = &features->gyro_lpf;
  lpf3_update(gyro_lpf, data->gyroX, data->gyroY, data->gyroZ);
  features->lpf_gyro =
      motion_magnitude(gyro_lpf->out[0], gyro_lpf->out[1], gyro_lpf->out[2], 1.0f);

  // The update's rotation matrix (and the magnetometer reading, three zeros,
  // which it never reads) would be discarded here, so the step alone runs.
  const double gyro[3] = {gyro_lpf->out[0], gyro_lpf->out[1], gyro_lpf->out[2]};
  const double accl[3] = {acc->out[0], acc->out[1], acc->out[2]};
  attitude_step(&features->attitude, gyro, accl, kSamplePeriodS);
  attitude_angles(&features->attitude, &features->roll, &features->pitch, &features->yaw);
  return 0;
}

void motion_features_release(MotionFeatures* /*features*/) {
  // Nothing to release: the attitude quaternion is held in the record.
}

int motion_features_default_config(int32_t* /*feature_config*/) { return 0; }
