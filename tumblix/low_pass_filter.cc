#include "tumblix/low_pass_filter.h"

int lpf3_init(LowPassFilter3* filter, int sample_rate_hz, int cutoff_hz) {
  const float w = static_cast<float>(cutoff_hz) * 6.28f;
  const float d = static_cast<float>(sample_rate_hz) * 2.0f;
  filter->a1 = (w - d) / (d + w);
  filter->b0 = w / (d + w);
  filter->b1 = filter->b0;
  for (int axis = 0; axis < 3; ++axis) {
    filter->x_prev[axis] = 0.0f;
    filter->out[axis] = 0.0f;
  }
  return 0;
}

int lpf3_update(LowPassFilter3* filter, float x, float y, float z) {
  const float input[3] = {x, y, z};
  for (int axis = 0; axis < 3; ++axis) {
    const float v = input[axis];
    filter->out[axis] =
        (filter->b0 * v + filter->b1 * filter->x_prev[axis]) - filter->a1 * filter->out[axis];
    filter->x_prev[axis] = v;
  }
  return 0;
}
