#include "tools/gen_dataset/body_disturbance.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct Wave {
  double amplitude, frequency, phase;
};

double WaveSum(const Wave* waves, int count, double t) {
  double sum = 0.0;
  for (int i = 0; i < count; ++i) sum += waves[i].amplitude * std::sin(2.0 * kPi * waves[i].frequency * t + waves[i].phase);
  return sum;
}

std::vector<double> MovingAverage(const std::vector<double>& v, int half_width) {
  const int n = static_cast<int>(v.size());
  std::vector<double> sum(n + 1, 0.0), out(n);
  for (int i = 0; i < n; ++i) sum[i + 1] = sum[i] + v[i];
  for (int i = 0; i < n; ++i) {
    const int lo = std::max(0, i - half_width), hi = std::min(n, i + half_width + 1);
    out[i] = (sum[hi] - sum[lo]) / (hi - lo);
  }
  return out;
}

}  // namespace

void AddPosturalSway(BodyTrack* track, RandomStream* rng) {
  constexpr int kWaves = 4;
  // Angles sway by a few tenths of a degree, the pelvis by a few millimetres.
  const double amplitude[kChannelCount] = {0.003, 0.003, 0.0015, 0.004, 0.004, 0.004};
  Wave waves[kChannelCount][kWaves];
  for (int c = 0; c < kChannelCount; ++c) {
    for (Wave& wave : waves[c]) {
      wave.amplitude = amplitude[c] * Uniform(rng, 0.3, 1.0);
      wave.frequency = Uniform(rng, 0.05, 0.6);
      wave.phase = Uniform(rng, 0.0, 2.0 * kPi);
    }
  }
  const double breath_rate = Uniform(rng, 0.2, 0.33);
  const double breath_phase = Uniform(rng, 0.0, 2.0 * kPi);
  const int ticks = TickCount(*track);
  for (int k = 0; k < ticks; ++k) {
    const double t = k * kTickSeconds;
    for (int c = 0; c < kChannelCount; ++c) {
      track->channel[c][k] += WaveSum(waves[c], kWaves, t);
    }
    const double breath = std::sin(2.0 * kPi * breath_rate * t + breath_phase);
    track->channel[kPitch][k] += 0.003 * breath;
    track->channel[kPelvisZ][k] += 0.001 * breath;
  }
}

void AddMovementDisturbance(BodyTrack* track, RandomStream* rng) {
  const int ticks = TickCount(*track);
  if (ticks < 3) return;
  // Vigour: the pelvis's acceleration in g plus the trunk's angular speed
  // in units of 3 rad/s, smoothed over about half a second.
  std::vector<double> vigour(ticks, 0.0);
  const double h2 = kTickSeconds * kTickSeconds;
  for (int k = 1; k + 1 < ticks; ++k) {
    double a2 = 0.0;
    for (int c = kPelvisX; c <= kPelvisZ; ++c) {
      const std::vector<double>& v = track->channel[c];
      const double a = (v[k + 1] - 2.0 * v[k] + v[k - 1]) / h2;
      a2 += a * a;
    }
    double w2 = 0.0;
    for (int c = kPitch; c <= kHeading; ++c) {
      const std::vector<double>& v = track->channel[c];
      const double w = (v[k + 1] - v[k - 1]) / (2.0 * kTickSeconds);
      w2 += w * w;
    }
    vigour[k] = std::sqrt(a2) / kGravity + std::sqrt(w2) / 3.0;
  }
  for (int pass = 0; pass < 2; ++pass) vigour = MovingAverage(vigour, 120);

  constexpr int kWaves = 6;
  const double amplitude[kChannelCount] = {0.002, 0.002, 0.0015, 0.01, 0.012, 0.012};
  Wave waves[kChannelCount][kWaves];
  for (int c = 0; c < kChannelCount; ++c) {
    for (Wave& wave : waves[c]) {
      wave.frequency = Uniform(rng, 1.0, 5.0);
      // Higher frequencies move less, so the rates they add stay alike.
      wave.amplitude = amplitude[c] * Uniform(rng, 0.4, 1.0) * (2.0 / wave.frequency);
      wave.phase = Uniform(rng, 0.0, 2.0 * kPi);
    }
  }
  for (int k = 0; k < ticks; ++k) {
    const double scale = std::min(vigour[k], 1.5);
    if (scale <= 0.0) continue;
    const double t = k * kTickSeconds;
    for (int c = 0; c < kChannelCount; ++c) track->channel[c][k] += scale * WaveSum(waves[c], kWaves, t);
  }
}
