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
// - A filter without a quaternion (never initialised through attitude_init,
//   or released): attitude_update changes nothing and returns the identity
//   matrix; attitude_angles gives the identity's angles (0, -90, 0).
#include "tumblix/attitude_lib/attitude_filter.h"

#include <cmath>

#include "tumblix/attitude_lib/Include/MatrixAlgebra"
#include "tumblix/attitude_lib/Quaternion.h"

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

bool IsFinite(const Quaternion& q) {
  const dVector& v = q.v_ref();
  return std::isfinite(q.get_s()) && std::isfinite(v[0]) && std::isfinite(v[1]) &&
         std::isfinite(v[2]);
}

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
  filter->q = new Quaternion();
  filter->gyro_bias[0] = 0.0;
  filter->gyro_bias[1] = 0.0;
  filter->gyro_bias[2] = 0.0;
  filter->bias_count = 0;
}

void attitude_release(AttitudeFilter* filter) {
  delete filter->q;
  filter->q = nullptr;
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

matrix<double> attitude_update(AttitudeFilter* filter, const double gyro[3], const double accl[3],
                               const double /*magn*/[3], double dt) {
  if (filter->q == nullptr) return Quaternion().rotation_matrix();
  Quaternion& q = *filter->q;
  if (!AllFinite(gyro) || !AllFinite(accl) || !std::isfinite(dt)) {
    return q.rotation_matrix();
  }

  // 1. Bias.
  gyro_bias_update(filter, filter->gyro_bias, gyro, kBiasCap, kBiasBand);

  // 2. Step angles.
  const double* b = filter->gyro_bias;
  const double theta_x = ((gyro[0] - b[0]) * kDegToRad) * dt;
  const double theta_y = ((gyro[1] - b[1]) * kDegToRad) * dt;
  const double theta_z = ((gyro[2] - b[2]) * kDegToRad) * dt;

  // 3. Step rotation (Qz Qy) Qx.
  const Quaternion dq(theta_x, theta_y, theta_z);

  // 4. Propagation: the step rotation on the right.
  Quaternion propagated = q * dq;
  if (!IsFinite(propagated)) propagated = q;

  // 5. Reference vector.
  const dVector g0 = Vector3(0.0, 0.0, -1.0);

  // 6. The acceleration as a pure quaternion.
  const Quaternion qa(0.0, accl[0], accl[1], accl[2]);

  // 7. Into the reference frame.
  const Quaternion qg = (propagated * qa) * propagated.inverse();
  // Read in place: a copy of the vector part (get_v) would be one more
  // allocation for the same three values.
  const dVector& a_ref = qg.v_ref();

  // 8. Correction axis, (-a_ref.y, a_ref.x, 0) in value.
  const dVector ng = Cross(a_ref, g0);

  // 9. Tilt. A zero-length axis (see the top of this file) skips 9 to 13.
  const double ng_norm = Norm(ng);
  if (ng_norm != 0.0) {
    const double theta = std::asin(ng_norm / Norm(a_ref));

    // 10. Magnitude of the input acceleration.
    const double m = std::sqrt((accl[0] * accl[0] + accl[1] * accl[1]) + accl[2] * accl[2]);

    // 11. Weight.
    const double e = m - 1.0;
    const double w = std::exp((-e * e) / (kCorrectionWidth * kCorrectionWidth)) * kCorrectionWeight;

    // 12. Correction rotation (the constructor scales ng to unit length).
    const Quaternion qc(w * theta, ng);

    // 13. Application: the correction on the left.
    Quaternion corrected = qc * propagated;
    if (IsFinite(corrected)) propagated = std::move(corrected);
  }
  q = std::move(propagated);

  // 14. Result.
  return q.rotation_matrix();
}

void attitude_angles(const AttitudeFilter* filter, int32_t* roll, int32_t* pitch, int32_t* yaw) {
  double s = 1.0, x = 0.0, y = 0.0, z = 0.0;
  if (filter->q != nullptr) {
    const dVector& v = filter->q->v_ref();
    s = filter->q->get_s();
    x = v[0];
    y = v[1];
    z = v[2];
  }

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
