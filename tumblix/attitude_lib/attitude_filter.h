#ifndef TUMBLIX_ATTITUDE_FILTER_H
#define TUMBLIX_ATTITUDE_FILTER_H

#include <cstdint>

#include "tumblix/attitude_lib/quaternion_formulas.h"

template <class T>
class matrix;

// Quaternion attitude filter: propagates by the bias-corrected angular rate
// and pulls toward the orientation in which the measured acceleration points
// along the reference axis (0, 0, -1). A plain record: the quaternion is
// held in place, so the filter owns no heap memory and needs no release.
struct AttitudeFilter {
  QuaternionValue q;    // the attitude; identity after attitude_init
  double gyro_bias[3];  // running mean of the angular rate, deg/s
  int32_t bias_count;   // bias-estimator calls, held at the cap
};

// q becomes the identity (1; 0, 0, 0); zeroes the bias and the count.
void attitude_init(AttitudeFilter* filter);

// One filter step (13 steps, in double precision): gyro in deg/s, accl in g,
// dt in seconds. A sample with a non-finite gyro, accl or dt changes nothing,
// and a zero-length correction axis skips the correction of that sample, so
// q always stays finite (details in attitude_filter.cc). Allocates nothing.
void attitude_step(AttitudeFilter* filter, const double gyro[3], const double accl[3], double dt);

// attitude_step, then the rotation matrix of the updated attitude; magn is
// not read.
matrix<double> attitude_update(AttitudeFilter* filter, const double gyro[3], const double accl[3],
                               const double magn[3], double dt);

// Running-mean gyro-bias estimator: accepts the sample on the first call, or
// when every rate[i] - bias[i] lies strictly inside (-band, band); an
// accepted sample makes bias[i] = (n * bias[i] + rate[i]) / (n + 1) with n the
// count on entry. The count rises on every call, accepted or not, until it
// reaches cap.
void gyro_bias_update(AttitudeFilter* filter, double bias[3], const double rate[3], int32_t cap,
                      double band);

// Whole-degree roll, pitch and yaw of the current attitude, with the
// single-precision narrowing points and the pitch fold at -180.
void attitude_angles(const AttitudeFilter* filter, int32_t* roll, int32_t* pitch, int32_t* yaw);

#endif
