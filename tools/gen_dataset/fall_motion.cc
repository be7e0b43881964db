#include "tools/gen_dataset/fall_motion.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// A body of distributed mass tips faster than a point mass on a rod of the
// same length.
constexpr double kTippingGain = 1.15;
// Air and flailing limbs keep a flying body from a perfect free fall.
constexpr double kFlightGravityShare = 0.95;
// Knees giving way let the body drop at most this share of free fall.
constexpr double kSinkGravityShare = 0.9;
// The legs leave the pendulum once their push falls below this share of g.
constexpr double kLeastLegPush = 0.05;
// Air and the flailing limbs slow a pelvis coasting over slipping feet.
constexpr double kSlidingPelvisSeconds = 1.5;
constexpr double kMaxDescentSeconds = 3.0;
// A trunk this far from upright has reached the floor whatever the pelvis does.
constexpr double kFlatTilt = 1.5;
constexpr double kToppleTilt = 1.0;

double SmoothStep(double s) {
  s = std::clamp(s, 0.0, 1.0);
  return s * s * s * (10.0 - 15.0 * s + 6.0 * s * s);
}

struct DescentTick {
  Vec3 pelvis;
  double tilt;
};

}  // namespace

void AppendFall(BodyTrack* track, const FallPlan& plan) {
  const Vec3 p0{Last(*track, kPelvisX), Last(*track, kPelvisY), Last(*track, kPelvisZ)};
  const Vec3 v0 = PelvisVelocity(*track);
  const double heading0 = Last(*track, kHeading);
  const double heading_rate = StateOf(*track, kHeading).rate;
  const double pitch0 = Last(*track, kPitch), roll0 = Last(*track, kRoll);

  const double absolute = heading0 - plan.direction;  // right of the heading is clockwise
  const Vec3 fall_axis{std::cos(absolute), std::sin(absolute), 0.0};
  const Vec3 up{0.0, 0.0, 1.0};
  auto along = [&](double beta) { return std::cos(beta) * up + std::sin(beta) * fall_axis; };
  auto tangent = [&](double beta) { return -std::sin(beta) * up + std::cos(beta) * fall_axis; };

  const bool seated = plan.leg_length <= 0.0;
  const double lever = seated ? plan.pendulum_length : plan.leg_length;
  double beta = plan.start_tilt;
  double rate = plan.start_tilt_rate + plan.carried_momentum * Dot(v0, tangent(beta)) / lever;
  const double gain = kTippingGain * kGravity / plan.pendulum_length;

  // The pivot keeps whatever speed the pelvis had that the tipping does not
  // explain (the feet shooting away in a slip), losing it quickly.
  const Vec3 pivot0 = p0 - plan.leg_length * along(beta);
  const Vec3 pivot_v0 = v0 - (plan.leg_length * rate) * tangent(beta);
  const double keep = plan.pivot_momentum_seconds;
  const int seat_ticks = SecondsToTicks(plan.seat_seconds);
  const double sink_seconds = std::sqrt(5.77 * plan.knee_sink / (kSinkGravityShare * kGravity));

  std::vector<DescentTick> ticks{{p0, beta}};
  bool flying = false;
  Vec3 flight_start{0, 0, 0}, flight_velocity{0, 0, 0};
  int flight_tick = 0;
  const int max_ticks = SecondsToTicks(kMaxDescentSeconds);
  const double h = kTickSeconds;
  for (int j = 1; j <= max_ticks; ++j) {
    const double t = j * h;
    if (!flying) {
      // Fourth-order Runge-Kutta on beta'' = gain sin(beta).
      const double k1b = rate, k1r = gain * std::sin(beta);
      const double k2b = rate + 0.5 * h * k1r, k2r = gain * std::sin(beta + 0.5 * h * k1b);
      const double k3b = rate + 0.5 * h * k2r, k3r = gain * std::sin(beta + 0.5 * h * k2b);
      const double k4b = rate + h * k3r, k4r = gain * std::sin(beta + h * k3b);
      beta += h / 6.0 * (k1b + 2.0 * k2b + 2.0 * k3b + k4b);
      rate += h / 6.0 * (k1r + 2.0 * k2r + 2.0 * k3r + k4r);
      // A fall never hangs: should the push be too weak to tip the body over
      // the pivot, it keeps creeping toward the floor.
      rate = std::max(rate, 0.2);
    } else {
      // In flight nothing turns the body: the rate stays.
      beta += rate * h;
    }

    Vec3 pelvis;
    if (flying) {
      const double tf = (j - flight_tick) * h;
      pelvis = flight_start + tf * flight_velocity + (-0.5 * kFlightGravityShare * kGravity * tf * tf) * up;
    } else if (seated) {
      // The pelvis slides forward on the seat, faster and faster.
      const double u = static_cast<double>(j) / seat_ticks;
      pelvis = p0 + (plan.slide * u * u * u) * fall_axis;
    } else {
      const double momentum = keep * (1.0 - std::exp(-t / keep));
      const double sunk = sink_seconds > 0.0 ? plan.knee_sink * SmoothStep(t / sink_seconds) : 0.0;
      const Vec3 pivot = pivot0 + momentum * pivot_v0 + (-sunk) * up + (plan.slide * SmoothStep(t / 0.5)) * fall_axis;
      pelvis = pivot + plan.leg_length * along(beta);
      if (plan.feet_slide) {
        const double coast = kSlidingPelvisSeconds * (1.0 - std::exp(-t / kSlidingPelvisSeconds));
        pelvis.x = p0.x + v0.x * coast;
        pelvis.y = p0.y + v0.y * coast;
      }
    }
    ticks.push_back({pelvis, beta});

    if (pelvis.z <= plan.contact_height || ((flying || !seated) && beta >= kFlatTilt)) break;
    if (!flying && ticks.size() >= 3) {
      const Vec3& a = ticks[ticks.size() - 1].pelvis;
      const Vec3& b = ticks[ticks.size() - 2].pelvis;
      const Vec3& c = ticks[ticks.size() - 3].pelvis;
      const Vec3 force = (1.0 / (h * h)) * (a - 2.0 * b + c) + Vec3{0.0, 0.0, kGravity};
      // Leaning far over, the body topples off the seat before its time.
      const bool off_seat = seated && (j >= seat_ticks || beta >= kToppleTilt);
      const bool legs_would_pull = !seated && Dot(force, along(beta)) < kLeastLegPush * kGravity;
      if (off_seat || legs_would_pull) {
        flying = true;
        flight_tick = j;
        flight_start = a;
        flight_velocity = (1.0 / h) * (a - b);
      }
    }
  }
  const int descent_ticks = static_cast<int>(ticks.size()) - 1;

  // Trunk lean toward the fall and across it, from the pre-fall pose; the
  // trunk turns with the body's tilt, somewhat more in most falls.
  const double c = std::cos(plan.direction), s = std::sin(plan.direction);
  const double lean0 = pitch0 * c + roll0 * s;
  const double across0 = -pitch0 * s + roll0 * c;
  const double lean_per_tilt = (plan.trunk_at_contact - lean0) / std::max(0.1, plan.contact_tilt - plan.start_tilt);

  auto pose = [&](int j, double values[kChannelCount]) {
    const double t = j * kTickSeconds;
    const DescentTick& tick = ticks[std::min<size_t>(j, ticks.size() - 1)];
    const double turned = tick.tilt - plan.start_tilt;
    const double lean = lean0 + lean_per_tilt * turned;
    const double across = across0 * std::exp(-t / 0.5);
    values[kPelvisX] = tick.pelvis.x;
    values[kPelvisY] = tick.pelvis.y;
    values[kPelvisZ] = tick.pelvis.z;
    values[kPitch] = lean * c - across * s;
    values[kRoll] = lean * s + across * c;
    values[kHeading] = heading0 + heading_rate * keep * (1.0 - std::exp(-t / keep)) + plan.twist * SmoothStep(t / 0.6);
  };

  track->onset_tick = TickCount(*track) - 1;
  AppendBlended(track, descent_ticks, pose);
  const int contact_tick = AppendStop(track, plan.impact_seconds);
  track->impact_tick = contact_tick + SecondsToTicks(0.5 * plan.impact_seconds);

  PoseGoal lying;
  lying.forward = 0.15 * c;
  lying.left = -0.15 * s;
  lying.height = plan.lying_height;
  lying.pitch = plan.lying_lean * c;
  lying.roll = plan.lying_lean * s;
  AppendMove(track, lying, plan.settle_seconds);
  AppendHold(track, plan.lying_seconds);
}
