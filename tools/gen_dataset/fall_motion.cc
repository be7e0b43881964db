#include "tools/gen_dataset/fall_motion.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Sinking (knees giving way, the seat lost) is close to a free fall.
constexpr double kSinkGravityShare = 0.9;
// Air and the flailing limbs slow a pelvis coasting over slipping feet.
constexpr double kSlidingPelvisSeconds = 1.5;
constexpr double kMaxDescentSeconds = 3.0;

// Tilt of the pivot-pelvis line per tick until it reaches the contact tilt.
std::vector<double> TiltUntilContact(const FallPlan& plan, double start_rate) {
  // A body of distributed mass tips faster than a point mass on a rod of the
  // same length.
  const double gain = 1.15 * kGravity / plan.pendulum_length;
  std::vector<double> tilt{plan.start_tilt};
  double beta = plan.start_tilt, rate = start_rate;
  const double h = kTickSeconds;
  const int max_ticks = SecondsToTicks(kMaxDescentSeconds);
  while (beta < plan.contact_tilt && static_cast<int>(tilt.size()) < max_ticks) {
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
    tilt.push_back(beta);
  }
  return tilt;
}

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

  const double lever = plan.leg_length > 0.0 ? plan.leg_length : plan.pendulum_length;
  const double start_rate =
      plan.start_tilt_rate + plan.carried_momentum * Dot(v0, tangent(plan.start_tilt)) / lever;
  const std::vector<double> tilt = TiltUntilContact(plan, start_rate);
  const int descent_ticks = static_cast<int>(tilt.size()) - 1;
  const double descent_seconds = descent_ticks * kTickSeconds;

  // The pivot keeps whatever speed the pelvis had that the tipping does not
  // explain (the feet shooting away in a slip), losing it quickly.
  const Vec3 pivot0 = p0 - plan.leg_length * along(plan.start_tilt);
  const Vec3 pivot_v0 = v0 - (plan.leg_length * start_rate) * tangent(plan.start_tilt);
  const double keep = plan.pivot_momentum_seconds;
  const double carried = keep * (1.0 - std::exp(-descent_seconds / keep));
  // The sinking needed to meet the floor at the planned contact height.
  const double height_at_contact = pivot0.z + pivot_v0.z * carried + plan.leg_length * std::cos(plan.contact_tilt);
  const double sink = std::min(0.0, plan.contact_height - height_at_contact);
  // The sinking starts late enough to end at contact; a fall too short for
  // the full drop ends higher rather than faster than gravity.
  const double sink_acceleration = kSinkGravityShare * kGravity;
  const double sink_seconds = std::min(descent_seconds, std::sqrt(-2.0 * sink / sink_acceleration));
  const double sink_start = descent_seconds - sink_seconds;

  // Trunk lean toward the fall and across it, from the pre-fall pose.
  const double c = std::cos(plan.direction), s = std::sin(plan.direction);
  const double lean0 = pitch0 * c + roll0 * s;
  const double across0 = -pitch0 * s + roll0 * c;
  const double tilt_span = std::max(1e-6, plan.contact_tilt - plan.start_tilt);

  auto pose = [&](int j, double values[kChannelCount]) {
    const double t = j * kTickSeconds;
    const double u = descent_ticks > 0 ? static_cast<double>(j) / descent_ticks : 1.0;
    // Sliding starts gently and speeds up like a body let go.
    const double drop = u * u * u;
    const double fallen = t > sink_start ? t - sink_start : 0.0;
    const double sunk = -0.5 * sink_acceleration * fallen * fallen;
    const double beta = tilt[std::min<size_t>(j, tilt.size() - 1)];
    const double momentum = keep * (1.0 - std::exp(-t / keep));
    const Vec3 pivot = pivot0 + momentum * pivot_v0 + sunk * up + (plan.slide * drop) * fall_axis;
    Vec3 pelvis = pivot + plan.leg_length * along(beta);
    if (plan.feet_slide) {
      const double coast = kSlidingPelvisSeconds * (1.0 - std::exp(-t / kSlidingPelvisSeconds));
      pelvis.x = p0.x + v0.x * coast + plan.slide * drop * fall_axis.x;
      pelvis.y = p0.y + v0.y * coast + plan.slide * drop * fall_axis.y;
    }
    const double progress = std::clamp((beta - plan.start_tilt) / tilt_span, 0.0, 1.0);
    const double lean = lean0 + (plan.trunk_at_contact - lean0) * progress;
    const double across = across0 * (1.0 - 0.5 * progress);
    values[kPelvisX] = pelvis.x;
    values[kPelvisY] = pelvis.y;
    values[kPelvisZ] = pelvis.z;
    values[kPitch] = lean * c - across * s;
    values[kRoll] = lean * s + across * c;
    values[kHeading] = heading0 + heading_rate * momentum + plan.twist * drop;
  };

  track->onset_tick = TickCount(*track) - 1;
  AppendBlended(track, descent_ticks, pose);
  const int contact_tick = AppendStop(track, plan.impact_seconds);
  track->impact_tick = contact_tick + SecondsToTicks(0.5 * plan.impact_seconds);

  PoseGoal lying;
  lying.forward = 0.15 * c;
  lying.left = -0.15 * s;
  lying.height = plan.lying_height;
  lying.pitch = plan.lying_lean * c - across0 * 0.3 * s;
  lying.roll = plan.lying_lean * s + across0 * 0.3 * c;
  AppendMove(track, lying, plan.settle_seconds);
  AppendHold(track, plan.lying_seconds);
}
