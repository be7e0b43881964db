#include "tools/gen_dataset/body_track.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kBlendSeconds = 0.1;

// Quintic Hermite interpolation over s in [0, 1] of a move lasting T seconds.
double Quintic(double s, double T, double x0, double v0, double a0, double x1, double v1) {
  const double s2 = s * s, s3 = s2 * s, s4 = s3 * s, s5 = s4 * s;
  const double h0 = 1.0 - 10.0 * s3 + 15.0 * s4 - 6.0 * s5;
  const double h1 = s - 6.0 * s3 + 8.0 * s4 - 3.0 * s5;
  const double h2 = 0.5 * (s2 - 3.0 * s3 + 3.0 * s4 - s5);
  const double h3 = 10.0 * s3 - 15.0 * s4 + 6.0 * s5;
  const double h4 = -4.0 * s3 + 7.0 * s4 - 3.0 * s5;
  return h0 * x0 + h1 * v0 * T + h2 * a0 * T * T + h3 * x1 + h4 * v1 * T;
}

void PushTick(BodyTrack* track, const double values[kChannelCount]) {
  for (int c = 0; c < kChannelCount; ++c) track->channel[c].push_back(values[c]);
}

}  // namespace

void StartTrack(BodyTrack* track, Vec3 pelvis, double pitch, double roll, double heading) {
  *track = BodyTrack();
  const double values[kChannelCount] = {pelvis.x, pelvis.y, pelvis.z, pitch, roll, heading};
  PushTick(track, values);
}

int TickCount(const BodyTrack& track) { return static_cast<int>(track.channel[0].size()); }

double Last(const BodyTrack& track, int channel) { return track.channel[channel].back(); }

ChannelState StateOf(const BodyTrack& track, int channel) {
  const std::vector<double>& v = track.channel[channel];
  const size_t n = v.size();
  ChannelState state{v[n - 1], 0.0, 0.0};
  if (n >= 2) state.rate = (v[n - 1] - v[n - 2]) / kTickSeconds;
  if (n >= 3) state.acceleration = (v[n - 1] - 2.0 * v[n - 2] + v[n - 3]) / (kTickSeconds * kTickSeconds);
  return state;
}

Vec3 PelvisVelocity(const BodyTrack& track) {
  return {StateOf(track, kPelvisX).rate, StateOf(track, kPelvisY).rate, StateOf(track, kPelvisZ).rate};
}

int SecondsToTicks(double seconds) {
  return std::max(1, static_cast<int>(std::lround(seconds / kTickSeconds)));
}

void AppendMove(BodyTrack* track, const PoseGoal& goal, double seconds) {
  const int ticks = SecondsToTicks(seconds);
  const double T = ticks * kTickSeconds;
  ChannelState start[kChannelCount];
  for (int c = 0; c < kChannelCount; ++c) start[c] = StateOf(*track, c);

  double target[kChannelCount];
  double end_rate[kChannelCount] = {0, 0, 0, 0, 0, 0};
  for (int c = 0; c < kChannelCount; ++c) {
    // Where the present motion would come to rest under the move's profile.
    target[c] = start[c].value + 0.5 * start[c].rate * T;
  }
  const double heading = start[kHeading].value;
  target[kPelvisX] += goal.forward * std::cos(heading) - goal.left * std::sin(heading);
  target[kPelvisY] += goal.forward * std::sin(heading) + goal.left * std::cos(heading);
  if (!std::isnan(goal.height)) target[kPelvisZ] = goal.height;
  if (!std::isnan(goal.pitch)) target[kPitch] = goal.pitch;
  if (!std::isnan(goal.roll)) target[kRoll] = goal.roll;
  target[kHeading] += goal.turn;
  end_rate[kPelvisZ] = goal.end_vertical_speed;

  double values[kChannelCount];
  for (int j = 1; j <= ticks; ++j) {
    const double s = static_cast<double>(j) / ticks;
    for (int c = 0; c < kChannelCount; ++c) {
      values[c] = Quintic(s, T, start[c].value, start[c].rate, start[c].acceleration, target[c],
                          end_rate[c]);
    }
    PushTick(track, values);
  }
}

void AppendHold(BodyTrack* track, double seconds) {
  const double settle = std::min(seconds, 0.4);
  AppendMove(track, PoseGoal(), settle);
  const int ticks = SecondsToTicks(seconds) - SecondsToTicks(settle);
  double values[kChannelCount];
  for (int c = 0; c < kChannelCount; ++c) values[c] = Last(*track, c);
  for (int j = 0; j < ticks; ++j) PushTick(track, values);
}

int AppendStop(BodyTrack* track, double seconds) {
  const int first = TickCount(*track);
  const int ticks = SecondsToTicks(seconds);
  const double T = ticks * kTickSeconds;
  ChannelState start[kChannelCount];
  for (int c = 0; c < kChannelCount; ++c) start[c] = StateOf(*track, c);
  double values[kChannelCount];
  for (int j = 1; j <= ticks; ++j) {
    const double s = static_cast<double>(j) / ticks;
    // Rate falls as 1 - smoothstep(s); its integral gives the position.
    const double integral_of_step = s * s * s * s * (2.5 - 3.0 * s + s * s);
    for (int c = 0; c < kChannelCount; ++c) {
      values[c] = start[c].value + start[c].rate * T * (s - integral_of_step);
    }
    PushTick(track, values);
  }
  return first;
}

void AppendBlended(BodyTrack* track, int ticks,
                   const std::function<void(int j, double values[kChannelCount])>& pose) {
  ChannelState start[kChannelCount];
  for (int c = 0; c < kChannelCount; ++c) start[c] = StateOf(*track, c);
  double at0[kChannelCount], at1[kChannelCount];
  pose(0, at0);
  pose(1, at1);
  double offset[kChannelCount], rate_gap[kChannelCount];
  for (int c = 0; c < kChannelCount; ++c) {
    offset[c] = start[c].value - at0[c];
    rate_gap[c] = start[c].rate - (at1[c] - at0[c]) / kTickSeconds;
  }
  double values[kChannelCount];
  for (int j = 1; j <= ticks; ++j) {
    pose(j, values);
    const double t = j * kTickSeconds;
    const double fade = kBlendSeconds * (1.0 - std::exp(-t / kBlendSeconds));
    for (int c = 0; c < kChannelCount; ++c) values[c] += offset[c] + rate_gap[c] * fade;
    PushTick(track, values);
  }
}

void PadToWholeSamples(BodyTrack* track) {
  while ((TickCount(*track) - 1) % kTicksPerSample != 0) {
    double values[kChannelCount];
    for (int c = 0; c < kChannelCount; ++c) values[c] = Last(*track, c);
    PushTick(track, values);
  }
}
