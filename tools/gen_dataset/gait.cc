#include "tools/gen_dataset/gait.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kTwoPi = 2.0 * kPi;
constexpr int kRunHarmonics = 8;

double SmoothStep(double s) {
  s = std::clamp(s, 0.0, 1.0);
  return s * s * s * (10.0 - 15.0 * s + 6.0 * s * s);
}

// Fourier coefficients (in units of g) of the vertical acceleration of a
// running step: the ground pushes as a half sine while a foot is down and not
// at all in flight, averaging one body weight over the step.
struct RunProfile {
  double cos_coefficient[kRunHarmonics + 1];
  double sin_coefficient[kRunHarmonics + 1];
};

RunProfile MakeRunProfile(double stance_fraction) {
  RunProfile profile{};
  const int points = 4000;
  for (int i = 0; i < points; ++i) {
    const double tau = (i + 0.5) / points;
    double force = 0.0;
    if (tau < stance_fraction) force = kPi / (2.0 * stance_fraction) * std::sin(kPi * tau / stance_fraction);
    const double acceleration = force - 1.0;
    for (int n = 1; n <= kRunHarmonics; ++n) {
      profile.cos_coefficient[n] += 2.0 * acceleration * std::cos(kTwoPi * n * tau) / points;
      profile.sin_coefficient[n] += 2.0 * acceleration * std::sin(kTwoPi * n * tau) / points;
    }
  }
  return profile;
}

// Vertical pelvis offset (m) at step phase `phase` (in steps) whose second
// derivative at step rate `rate` is the designed acceleration.
double VerticalOffset(const GaitStyle& style, const RunProfile& run, double phase, double rate) {
  double z = 0.0;
  if (style.jog) {
    for (int n = 1; n <= kRunHarmonics; ++n) {
      const double w = kTwoPi * n * rate;
      z -= kGravity *
           (run.cos_coefficient[n] * std::cos(kTwoPi * n * phase) +
            run.sin_coefficient[n] * std::sin(kTwoPi * n * phase)) /
           (w * w);
    }
  } else {
    const double w = kTwoPi * rate;
    z -= kGravity * style.bounce *
         (std::cos(kTwoPi * phase) / (w * w) + 0.25 * std::cos(2.0 * kTwoPi * phase + 0.6) / (4.0 * w * w));
  }
  return z;
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

void AppendGait(BodyTrack* track, const GaitStyle& style, const std::vector<GaitLeg>& legs) {
  int ticks = 0;
  for (const GaitLeg& leg : legs) ticks += SecondsToTicks(leg.seconds);

  const RunProfile run = MakeRunProfile(style.stance_fraction);
  const double start_heading = Last(*track, kHeading);
  const double start_speed = [&] {
    const Vec3 v = PelvisVelocity(*track);
    return std::hypot(v.x, v.y);
  }();

  // Path quantities per tick, integrated along the legs.
  std::vector<double> speed(ticks + 1), heading(ticks + 1), phase(ticks + 1), rate(ticks + 1);
  std::vector<double> path_x(ticks + 1), path_y(ticks + 1), stairs(ticks + 1), lurch(ticks + 1);
  std::vector<double> lurch_pitch(ticks + 1);
  speed[0] = start_speed;
  heading[0] = start_heading;
  rate[0] = style.step_rate * (0.6 + 0.4 * std::min(1.0, start_speed / style.reference_speed));
  int j = 0;
  double leg_start_speed = start_speed, leg_start_heading = start_heading, stair_base = 0.0;
  for (const GaitLeg& leg : legs) {
    const int leg_ticks = SecondsToTicks(leg.seconds);
    const double leg_start_phase = phase[j];
    for (int k = 1; k <= leg_ticks; ++k) {
      const double s = static_cast<double>(k) / leg_ticks;
      const double t_in_leg = k * kTickSeconds;
      const int i = j + k;
      speed[i] = leg_start_speed + (leg.end_speed - leg_start_speed) * SmoothStep(s);
      heading[i] = leg_start_heading + leg.turn * SmoothStep(s);
      double bump = 0.0;
      if (leg.stumble_at >= 0.0) {
        const double x = (t_in_leg - leg.stumble_at) / 0.12;
        bump = std::exp(-x * x);
      }
      lurch[i] = bump;
      lurch_pitch[i] = bump * leg.stumble_pitch;
      const double envelope = std::min(1.2, speed[i] / style.reference_speed);
      // The cadence rises with speed and quickens in the catching steps.
      rate[i] = style.step_rate * (0.6 + 0.4 * envelope) * (1.0 + 0.35 * bump);
      phase[i] = phase[i - 1] + rate[i] * kTickSeconds;
      // Each step pushes the body forward a little faster than the mean.
      const double surge = 1.0 + 0.08 * envelope * std::sin(kTwoPi * phase[i]) - 0.45 * bump;
      path_x[i] = path_x[i - 1] + speed[i] * surge * std::cos(heading[i]) * kTickSeconds;
      path_y[i] = path_y[i - 1] + speed[i] * surge * std::sin(heading[i]) * kTickSeconds;
      double climbed = 0.0;
      if (leg.stair_steps > 0) {
        const double steps = std::clamp(phase[i] - leg_start_phase, 0.0, static_cast<double>(leg.stair_steps));
        climbed = leg.stair_rise * (std::floor(steps) + SmoothStep(steps - std::floor(steps)));
      }
      stairs[i] = stair_base + climbed;
    }
    j += leg_ticks;
    leg_start_speed = leg.end_speed;
    leg_start_heading += leg.turn;
    stair_base = stairs[j];
  }

  const double x0 = Last(*track, kPelvisX), y0 = Last(*track, kPelvisY), z0 = Last(*track, kPelvisZ);
  const double pitch0 = Last(*track, kPitch), roll0 = Last(*track, kRoll);
  // Stairs change the lean, forward going up and less so going down; the
  // climb rate is smoothed over about a step so the lean does not jerk.
  std::vector<double> stair_slope(ticks + 1, 0.0);
  for (int i = 1; i <= ticks; ++i) stair_slope[i] = (stairs[i] - stairs[i - 1]) / kTickSeconds;
  for (int pass = 0; pass < 2; ++pass) stair_slope = MovingAverage(stair_slope, 300);

  AppendBlended(track, ticks, [&](int i, double values[kChannelCount]) {
    const double envelope = std::min(1.2, speed[i] / style.reference_speed);
    const double side = envelope * style.sway;
    const double left_x = -std::sin(heading[i]), left_y = std::cos(heading[i]);
    const double sway = 0.025 * side * std::sin(kPi * phase[i]);
    values[kPelvisX] = x0 + path_x[i] + sway * left_x;
    values[kPelvisY] = y0 + path_y[i] + sway * left_y;
    values[kPelvisZ] = z0 + envelope * VerticalOffset(style, run, phase[i], rate[i]) -
                       (style.jog ? 0.03 * envelope : 0.0) + stairs[i] - 0.06 * lurch[i];
    values[kPitch] = pitch0 + style.lean * envelope + style.pitch_swing * envelope * std::sin(kTwoPi * phase[i] + 0.8) +
                     0.12 * std::clamp(stair_slope[i], -0.5, 0.5) + lurch_pitch[i];
    values[kRoll] = roll0 + 0.05 * side * std::sin(kPi * phase[i]);
    values[kHeading] = heading[i] + 0.07 * side * std::sin(kPi * phase[i] + 0.3);
  });
}
