#ifndef TUMBLIX_LOW_PASS_FILTER_H
#define TUMBLIX_LOW_PASS_FILTER_H

// First-order low-pass filter on three axes, discretised with the bilinear
// transform (corner 2*pi*fc with 2*pi taken as 6.28, no pre-warping).
struct LowPassFilter3 {
  float a1;  // feedback coefficient, subtracted
  float b0;  // weight of the current input
  float b1;  // weight of the previous input
  float x_prev[3];
  float out[3];
};

int lpf3_init(LowPassFilter3* filter, int sample_rate_hz, int cutoff_hz);
int lpf3_update(LowPassFilter3* filter, float x, float y, float z);

#endif
