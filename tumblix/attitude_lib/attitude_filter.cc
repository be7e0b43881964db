// Attitude filter and orientation angles.
//
// Where the plain arithmetic would go wrong, this implementation does the
// following (each case only touches inputs for which that arithmetic would
// leave NaN in the quaternion or perform an undefined conversion):
//
// - Zero-length correction axis. When the cross product ng of the
//   reference-frame acceleration with (0, 0, -1) has length exactly 0 -- the
//   acceleration is exactly zero, or its reference-frame image has x and y
//   both 0 (identity attitude and an acceleration of exactly (0, 0, +-k)), or
//   they are so small that their squares underflow -- the correction of that
//   sample is skipped: the tilt is zero or undefined, so there is nothing to
//   correct. Propagation by the angular rate still happens.
// - Non-finite inputs. A sample whose angular rate, acceleration or time step
//   holds a NaN or an infinity is dropped as if it had not arrived: q,
//   gyro_bias and bias_count stay as they are, and the result is the rotation
//   matrix of the unchanged q. (The magnetometer reading is never read.)
// - Overflow from huge finite inputs. If the propagated quaternion is not
//   finite, the propagation of that sample is skipped; if the corrected one is
//   not finite, the correction is skipped. So q stays finite whatever the
//   inputs.
// - gyro_bias_update, a public function, also rejects a non-finite angular
//   rate on the first call (taking any first sample as it is would
//   fix a NaN bias forever) and rejects a sample whose running mean would
//   overflow; as for every rejected sample, the count still rises. For n > 0
//   the band test itself rejects NaN differences (a NaN compares false) and
//   infinite ones (outside the band).
// - attitude_angles never converts a NaN or out-of-range double to an
//   integer: the arcsine argument is clamped to [-1, 1] (it can pass 1 only
//   for a quaternion whose norm has drifted above 1), and a NaN angle reads 0.
//
// The step works on QuaternionValue records on the stack with the formulas
// of quaternion_formulas.h, the ones Quaternion's operators use: each step
// below is the value-type expression in its comment, with the same bits and
// without the dozens of short-lived heap vectors that the value types make.
#include "tumblix/attitude_lib/attitude_filter.h"

#include <cmath>

#include "tumblix/attitude_lib/Include/MatrixAlgebra"
#include "tumblix/attitude_lib/Quaternion.h"
#include "tumblix/attitude_lib/quaternion_formulas.h"

namespace {

constexpr int32_t kBiasCap = 10000;
constexpr double kBiasBand = 10.0;  // deg/s
constexpr double kDegToRad = 0.017453292519943295;
constexpr double kCorrectionWeight = 0.1;  // at exactly 1 g
constexpr double kCorrectionWidth = 0.1;   // g
constexpr double kPi = 3.141592653589793;

bool AllFinite(const double values[3]) {
  return std::isfinite(values[0]) && std::isfinite(values[1]) && std::isfinite(values[2]);
}

bool IsFinite(const QuaternionValue& q) { return std::isfinite(q.s) && AllFinite(q.v); }

// T: widen the single-precision angle to double, scale to
// degrees and convert toward zero. The angle comes from asin or atan2, so it
// is NaN or lies within [-pi, pi] (at most 180.00000500895632 degrees after
// the narrowing); a NaN reads 0, so the conversion is always defined.
int32_t WholeDegrees(float radians) {
  const double degrees = static_cast<double>(radians) * 180.0 / kPi;
  if (std::isnan(degrees)) return 0;
  return static_cast<int32_t>(degrees);
}

}  // namespace

void attitude_init(AttitudeFilter* filter) {
  filter->q = {1.0, {0.0, 0.0, 0.0}};
  filter->gyro_bias[0] = 0.0;
  filter->gyro_bias[1] = 0.0;
  filter->gyro_bias[2] = 0.0;
  filter->bias_count = 0;
}

void gyro_bias_update(AttitudeFilter* filter, double bias[3], const double rate[3], int32_t cap,
                      double band) {
  const int32_t n = filter->bias_count;
  double d[3];
  for (int i = 0; i < 3; ++i) d[i] = rate[i] - bias[i];

  bool accepted;
  if (n == 0) {
    accepted = AllFinite(rate);  // any finite first sample; a NaN would stick
  } else {
    accepted = true;
    for (int i = 0; i < 3; ++i) {
      if (!(-band < d[i] && d[i] < band)) accepted = false;  // NaN rejects too
    }
  }
  if (accepted) {
    const double nd = static_cast<double>(n);
    double updated[3];
    for (int i = 0; i < 3; ++i) updated[i] = (nd * bias[i] + rate[i]) / (nd + 1.0);
    if (AllFinite(updated)) {
      for (int i = 0; i < 3; ++i) bias[i] = updated[i];
    }
  }
  if (n < cap) filter->bias_count = n + 1;
}

void attitude_step(AttitudeFilter* filter, const double gyro[3], const double accl[3], double dt) {
  if (!AllFinite(gyro) || !AllFinite(accl) || !std::isfinite(dt)) return;

  // 1. Bias.
  gyro_bias_update(filter, filter->gyro_bias, gyro, kBiasCap, kBiasBand);

  // 2. Step angles.
  const double* b = filter->gyro_bias;
  const double theta_x = ((gyro[0] - b[0]) * kDegToRad) * dt;
  const double theta_y = ((gyro[1] - b[1]) * kDegToRad) * dt;
  const double theta_z = ((gyro[2] - b[2]) * kDegToRad) * dt;

  // 3. Step rotation: Quaternion dq(theta_x, theta_y, theta_z), (Qz Qy) Qx.
  const QuaternionValue dq = ThreeAngleQuaternion(theta_x, theta_y, theta_z);

  // 4. Propagation, the step rotation on the right: q * dq.
  QuaternionValue propagated = Multiply(filter->q, dq);
  if (!IsFinite(propagated)) propagated = filter->q;

  // 5. Reference vector: Vector3(0, 0, -1).
  const double g0[3] = {0.0, 0.0, -1.0};

  // 6. The acceleration as a pure quaternion: Quaternion(0, ax, ay, az).
  const QuaternionValue qa = {0.0, {accl[0], accl[1], accl[2]}};

  // 7. Into the reference frame: ((q * qa) * q.inverse()).get_v().
  QuaternionValue inverse;
  inverse.s = QuaternionInverse(propagated.s, propagated.v, inverse.v);
  const QuaternionValue qg = Multiply(Multiply(propagated, qa), inverse);
  const double* a_ref = qg.v;

  // 8. Correction axis: Cross(a_ref, g0), (-a_ref.y, a_ref.x, 0) in value.
  double ng[3];
  CrossProduct(a_ref, g0, ng);

  // 9. Tilt: asin(Norm(ng) / Norm(a_ref)). A zero-length axis (see the top
  //    of this file) skips 9 to 12.
  const double ng_norm = EuclideanNorm(ng, 3);
  if (ng_norm != 0.0) {
    const double theta = std::asin(ng_norm / EuclideanNorm(a_ref, 3));

    // 10. Magnitude of the input acceleration.
    const double m = std::sqrt((accl[0] * accl[0] + accl[1] * accl[1]) + accl[2] * accl[2]);

    // 11. Weight.
    const double e = m - 1.0;
    const double w = std::exp((-e * e) / (kCorrectionWidth * kCorrectionWidth)) * kCorrectionWeight;

    // 12. Correction rotation Quaternion(w * theta, ng), which scales ng to
    //     unit length itself.
    QuaternionValue qc;
    qc.s = AxisAngleQuaternion(w * theta, ng, qc.v);

    // 13. Application, the correction on the left: qc * q.
    const QuaternionValue corrected = Multiply(qc, propagated);
    if (IsFinite(corrected)) propagated = corrected;
  }
  filter->q = propagated;
}

matrix<double> attitude_update(AttitudeFilter* filter, const double gyro[3], const double accl[3],
                               const double /*magn*/[3], double dt) {
  attitude_step(filter, gyro, accl, dt);
  // 14. Result: the rotation matrix of q.
  const QuaternionValue& q = filter->q;
  return Quaternion(q.s, q.v[0], q.v[1], q.v[2]).rotation_matrix();
}

void attitude_angles(const AttitudeFilter* filter, int32_t* roll, int32_t* pitch, int32_t* yaw) {
  const double s = filter->q.s;
  const double x = filter->q.v[0];
  const double y = filter->q.v[1];
  const double z = filter->q.v[2];

  // roll: asin of the narrowed argument (clamped to [-1, 1], NaN stays NaN).
  float roll_arg = static_cast<float>(2 * (s * y - x * z));
  if (roll_arg > 1.0f) roll_arg = 1.0f;
  if (roll_arg < -1.0f) roll_arg = -1.0f;
  *roll = WholeDegrees(static_cast<float>(std::asin(static_cast<double>(roll_arg))));

  const float pitch_num = static_cast<float>(2 * (y * z + s * x));
  const float pitch_den = static_cast<float>(2 * (s * s + z * z) - 1);
  *pitch = WholeDegrees(static_cast<float>(
               std::atan2(static_cast<double>(pitch_num), static_cast<double>(pitch_den)))) -
           90;

  const float yaw_num = static_cast<float>(2 * (x * y + s * z));
  const float yaw_den = static_cast<float>(2 * (s * s + x * x) - 1);
  *yaw = WholeDegrees(
      static_cast<float>(std::atan2(static_cast<double>(yaw_num), static_cast<double>(yaw_den))));

  if (*pitch < -180) *pitch = *pitch + 360;
}
