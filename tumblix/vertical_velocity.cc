#include "tumblix/vertical_velocity.h"

#include <cmath>
#include <cstdlib>

namespace {

constexpr int32_t kWarmUpSamples = 15;
constexpr float kGravity = 9.8f;
constexpr float kIntegrationGate = 0.24f;
constexpr float kDecay = 0.9f;

}  // namespace

VerticalVelocityEstimator* vv_init(VerticalVelocityEstimator* state) {
  if (state == nullptr) {
    state = static_cast<VerticalVelocityEstimator*>(std::malloc(sizeof(VerticalVelocityEstimator)));
    if (state == nullptr) return nullptr;
  }
  state->count = 0;
  state->dt = 0.02f;
  state->dev = 0.0f;
  state->dev_prev = 0.0f;
  state->vel = 0.0f;
  state->vel_prev = 0.0f;
  return state;
}

float vv_update(VerticalVelocityEstimator* state, const ConvertedSample* sample) {
  state->count += 1;
  const float ax = sample->accX * kGravity;
  const float ay = sample->accY * kGravity;
  const float az = sample->accZ * kGravity;

  float deviation = 0.0f;
  if (state->count > kWarmUpSamples) {
    const float sum_sq = (ax * ax + ay * ay) + az * az;
    // Square root in double precision, against the double value of the
    // single-precision 9.8.
    const double magnitude = std::pow(static_cast<double>(sum_sq), 0.5);
    deviation = static_cast<float>(static_cast<double>(kGravity) - magnitude);
  }

  float estimate;
  if (state->dev_prev > kIntegrationGate) {
    // Simpson's rule over the last three deviations, on top of the estimate
    // of two samples before.
    const float sum = (4.0f * state->dev + state->dev_prev) + deviation;
    estimate = ((sum * kGravity) * state->dt) / 3.0f + state->vel_prev;
  } else {
    estimate = state->vel * kDecay;
  }

  state->dev_prev = state->dev;
  state->dev = deviation;
  state->vel_prev = state->vel;
  state->vel = estimate;
  return estimate;
}

void vv_free(VerticalVelocityEstimator* state) { std::free(state); }
