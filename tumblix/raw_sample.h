#ifndef TUMBLIX_RAW_SAMPLE_H
#define TUMBLIX_RAW_SAMPLE_H

#include <cstdint>

// One IMU sample as the sensor delivers it, in sensor counts:
// 8192 counts per g and 65.536 counts per deg/s.
struct RawSample {
  int16_t accX;
  int16_t accY;
  int16_t accZ;
  int16_t gyroX;
  int16_t gyroY;
  int16_t gyroZ;
};

// A sample converted to physical units: acceleration in g, angular rate in
// deg/s. The same record carries the filtered acceleration into the vertical
// velocity estimator.
struct ConvertedSample {
  float accX;
  float accY;
  float accZ;
  float gyroX;
  float gyroY;
  float gyroZ;
};

// Counts per g and per deg/s. The angular-rate factor is a single-precision
// constant; the readers widen that same value to double when they scale.
constexpr float kAccCountsPerG = 8192.0f;
constexpr float kGyroCountsPerDps = 65.536f;

// Counts to physical units exactly as the detector's step does it: widen each
// count to float, then divide (a division, not a multiplication by 1/x).
inline ConvertedSample tumblix_convert_sample(const RawSample& raw) {
  ConvertedSample data;
  data.accX = static_cast<float>(raw.accX) / kAccCountsPerG;
  data.accY = static_cast<float>(raw.accY) / kAccCountsPerG;
  data.accZ = static_cast<float>(raw.accZ) / kAccCountsPerG;
  data.gyroX = static_cast<float>(raw.gyroX) / kGyroCountsPerDps;
  data.gyroY = static_cast<float>(raw.gyroY) / kGyroCountsPerDps;
  data.gyroZ = static_cast<float>(raw.gyroZ) / kGyroCountsPerDps;
  return data;
}

#endif
