#ifndef TUMBLIX_MOTION_FEATURES_H
#define TUMBLIX_MOTION_FEATURES_H

#include <cstdint>

#include "tumblix/attitude_lib/attitude_filter.h"
#include "tumblix/low_pass_filter.h"
#include "tumblix/raw_sample.h"
#include "tumblix/vertical_velocity.h"

// Per-sample motion features. Magnitudes and angles are kept as integers
// truncated toward zero: acceleration in hundredths of g, angular rate in
// whole deg/s, angles in whole degrees.
struct MotionFeatures {
  int32_t feature_config;  // copied at init, read by nothing
  LowPassFilter3 acc_lpf;
  LowPassFilter3 gyro_lpf;
  AttitudeFilter attitude;
  VerticalVelocityEstimator vv_state;
  int32_t lpf_acc;
  int32_t raw_acc;
  int32_t lpf_gyro;
  int32_t raw_gyro;
  int32_t roll;
  int32_t yaw;
  int32_t pitch;
  float vv;
};

MotionFeatures* motion_features_init(MotionFeatures* features, const int32_t* feature_config);
int motion_features_update(MotionFeatures* features, const ConvertedSample* data);
void motion_features_release(MotionFeatures* features);
int motion_features_default_config(int32_t* feature_config);

// Magnitude of a three-vector, as the features keep it: squares summed in
// single precision, single-precision square root, scaled, truncated.
int32_t motion_magnitude(float x, float y, float z, float scale);

#endif
