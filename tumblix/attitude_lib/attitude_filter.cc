// Placeholder until the attitude library lands: the angles keep their
// create values.
#include "tumblix/attitude_lib/attitude_filter.h"

#include "tumblix/attitude_lib/Include/MatrixAlgebra"

void attitude_init(AttitudeFilter* filter) { filter->q = nullptr; }
void attitude_release(AttitudeFilter*) {}
matrix<double> attitude_update(AttitudeFilter*, const double*, const double*, const double*,
                               double) {
  return matrix<double>(3, 3);
}
void gyro_bias_update(AttitudeFilter*, double*, const double*, int32_t, double) {}
void attitude_angles(const AttitudeFilter*, int32_t*, int32_t*, int32_t*) {}
