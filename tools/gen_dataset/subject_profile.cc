#include "tools/gen_dataset/subject_profile.h"

#include <algorithm>

#include "tools/gen_dataset/random_stream.h"

namespace {

constexpr uint64_t kSubjectStream = 0x5355424A;  // separates subject draws from trial draws

double Clamped(double value, double low, double high) { return std::clamp(value, low, high); }

}  // namespace

SubjectProfile MakeSubjectProfile(uint64_t seed, int subject_number) {
  RandomStream rng = MakeRandomStream({seed, kSubjectStream, static_cast<uint64_t>(subject_number)});
  SubjectProfile p;
  p.number = subject_number;
  p.height = Clamped(1.70 + 0.08 * Gaussian(&rng), 1.52, 1.92);
  p.hip_height = p.height * Uniform(&rng, 0.50, 0.54);
  p.pace = Clamped(1.0 + 0.08 * Gaussian(&rng), 0.85, 1.18) * (p.height / 1.70);
  p.briskness = Clamped(1.0 + 0.12 * Gaussian(&rng), 0.75, 1.3);
  p.chair_height = Uniform(&rng, 0.42, 0.48);
  p.sofa_height = Uniform(&rng, 0.36, 0.43);
  p.sofa_recline = Uniform(&rng, 0.3, 0.5);
  p.bed_height = Uniform(&rng, 0.45, 0.58);
  // Sensor axes: x to the right, y down, z forward.
  const double tilt_forward = Clamped(9.0 * Gaussian(&rng), -18.0, 18.0) * kRadPerDeg;
  const double tilt_sideways = Clamped(3.0 * Gaussian(&rng), -6.0, 6.0) * kRadPerDeg;
  const double turn_on_belt = Clamped(5.0 * Gaussian(&rng), -10.0, 10.0) * kRadPerDeg;
  p.mount = AxisAngle({0, 1, 0}, turn_on_belt) * AxisAngle({1, 0, 0}, tilt_forward) *
            AxisAngle({0, 0, 1}, tilt_sideways);
  return p;
}
