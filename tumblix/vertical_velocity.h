#ifndef TUMBLIX_VERTICAL_VELOCITY_H
#define TUMBLIX_VERTICAL_VELOCITY_H

#include <cstdint>

#include "tumblix/raw_sample.h"

// Integrates the shortfall of the filtered acceleration magnitude below
// gravity (Simpson's rule), decaying by a tenth per sample otherwise. The
// result is on the scale of 9.8 per m/s.
struct VerticalVelocityEstimator {
  int32_t count;
  float dt;
  float dev;       // gravity deviation of the latest sample, m/s^2
  float dev_prev;  // deviation of the sample before it
  float vel;       // latest result
  float vel_prev;  // result of the sample before it
};

// Initialises `state` in place and returns it; with nullptr, allocates a new
// state on the heap (nullptr when that fails).
VerticalVelocityEstimator* vv_init(VerticalVelocityEstimator* state);
// Reads only the acceleration part (g) of `sample`.
float vv_update(VerticalVelocityEstimator* state, const ConvertedSample* sample);
// Releases a state that vv_init allocated; nullptr is ignored.
void vv_free(VerticalVelocityEstimator* state);

#endif
