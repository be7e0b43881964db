#ifndef TUMBLIX_ATTITUDE_FILTER_H
#define TUMBLIX_ATTITUDE_FILTER_H

#include <cstdint>

class Quaternion;
template <class T>
class matrix;

// Quaternion attitude filter: propagates by the bias-corrected angular rate
// and pulls toward the orientation in which the measured acceleration points
// along the reference axis (0, 0, -1).
struct AttitudeFilter {
  Quaternion* q;         // owned; identity after attitude_init
  double gyro_bias[3];   // running mean of the angular rate, deg/s
  int32_t bias_count;    // bias-estimator calls, held at the cap
};

void attitude_init(AttitudeFilter* filter);
// Releases the quaternion that attitude_init created; safe to call twice.
void attitude_release(AttitudeFilter* filter);

// gyro in deg/s, accl in g, magn is not read, dt in seconds. Returns the
// rotation matrix of the updated attitude.
matrix<double> attitude_update(AttitudeFilter* filter, const double gyro[3], const double accl[3],
                               const double magn[3], double dt);

void gyro_bias_update(AttitudeFilter* filter, double bias[3], const double rate[3], int32_t cap,
                      double band);

// Whole-degree roll, pitch and yaw of the current attitude, with the
// single-precision narrowing points and the pitch fold at -180.
void attitude_angles(const AttitudeFilter* filter, int32_t* roll, int32_t* pitch, int32_t* yaw);

#endif
