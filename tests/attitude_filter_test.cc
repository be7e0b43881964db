// The attitude filter, the gyro-bias estimator and the orientation angles;
// and the filter inside the detector's feature update with
// recordings of a device held still, tilted and rotated.
//
// Sign conventions, as the quaternion and filter formulas fix them: q carries
// sensor-frame vectors into the reference frame (p_ref = q (0; p) q*). The
// correction turns the measured acceleration, carried into the reference
// frame, toward (0, 0, -1). At rest the accelerometer measures the specific
// force, which points up, so the reference frame's z axis points down (a
// north-east-down style frame) and a device at rest with attitude q reads
// f = R(q)^T (0, 0, -1) g. At the identity attitude the sensor axes coincide
// with the reference axes: the device lies face down (sensor z pointing
// down) and reads (0, 0, -1 g), and the angles read roll 0, pitch -90,
// yaw 0. With q = Qz(c) Qy(b) Qx(a) (the three-angle constructor: about the
// fixed x axis by a, then y by b, then z by c), roll = b, pitch = a - 90
// (folded into -180..179) and yaw = c, and the device reads
// f = (sin b, -sin a cos b, -cos a cos b) g. Gyroscope rates are body-frame
// rates (the filter propagates with q (x) dQ, dQ on the right).
#include "tumblix/attitude_lib/attitude_filter.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "harness/eval_stats.h"
#include "harness/replay.h"
#include "harness/scoring.h"
#include "tumblix/attitude_lib/Include/MatrixAlgebra"
#include "tumblix/attitude_lib/Quaternion.h"
#include "tumblix/display_name.h"
#include "tumblix/tumblix.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDegToRad = 0.017453292519943295;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Vec3 = std::array<double, 3>;

struct Angles {
  int32_t roll, pitch, yaw;
};

// An initialised filter that is released at the end of the test.
class Filter {
 public:
  Filter() { attitude_init(&f); }
  ~Filter() { attitude_release(&f); }
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  matrix<double> Update(const Vec3& gyro, const Vec3& accl, double dt = 0.02,
                        const Vec3& magn = {0.0, 0.0, 0.0}) {
    return attitude_update(&f, gyro.data(), accl.data(), magn.data(), dt);
  }
  const Quaternion& q() const { return *f.q; }
  Angles angles() const {
    Angles a{};
    attitude_angles(&f, &a.roll, &a.pitch, &a.yaw);
    return a;
  }

  AttitudeFilter f;
};

bool Finite(const Quaternion& q) {
  const dVector& v = q.v_ref();
  return std::isfinite(q.get_s()) && std::isfinite(v[0]) && std::isfinite(v[1]) &&
         std::isfinite(v[2]);
}

// Bit-for-bit equality of two quaternions (signs of zeros included).
void ExpectIdentical(const Quaternion& a, const Quaternion& b) {
  const double av[4] = {a.get_s(), a.v_ref()[0], a.v_ref()[1], a.v_ref()[2]};
  const double bv[4] = {b.get_s(), b.v_ref()[0], b.v_ref()[1], b.v_ref()[2]};
  EXPECT_EQ(std::memcmp(av, bv, sizeof(av)), 0)
      << "(" << av[0] << "; " << av[1] << ", " << av[2] << ", " << av[3] << ") vs (" << bv[0]
      << "; " << bv[1] << ", " << bv[2] << ", " << bv[3] << ")";
}

// Equality under ==, which takes -0 and +0 as equal.
void ExpectEqual(const Quaternion& a, const Quaternion& b) {
  EXPECT_EQ(a.get_s(), b.get_s());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(a.v_ref()[i], b.v_ref()[i]) << "element " << i;
}

void ExpectSameMatrix(const matrix<double>& a, const matrix<double>& b) {
  for (unsigned i = 0; i < 3; ++i) {
    for (unsigned j = 0; j < 3; ++j) EXPECT_EQ(a(i, j), b(i, j)) << i << "," << j;
  }
}

dVector Apply(const matrix<double>& r, const Vec3& p) {
  return Vector3(r(0, 0) * p[0] + r(0, 1) * p[1] + r(0, 2) * p[2],
                 r(1, 0) * p[0] + r(1, 1) * p[1] + r(1, 2) * p[2],
                 r(2, 0) * p[0] + r(2, 1) * p[1] + r(2, 2) * p[2]);
}

// Angle between v and the reference axis (0, 0, -1), radians.
double AngleToReference(const dVector& v) { return std::acos(-v[2] / Norm(v)); }

// Steps 5 to 13 of the update, written out independently, for a
// propagated attitude qp and an acceleration a: qc (x) qp.
Quaternion ReferenceCorrection(const Quaternion& qp, const Vec3& a) {
  const dVector g0 = Vector3(0, 0, -1);
  const Quaternion qa(0, a[0], a[1], a[2]);
  const dVector a_ref = ((qp * qa) * qp.inverse()).get_v();
  const dVector ng = Cross(a_ref, g0);
  const double theta = std::asin(Norm(ng) / Norm(a_ref));
  const double m = std::sqrt((a[0] * a[0] + a[1] * a[1]) + a[2] * a[2]);
  const double e = m - 1.0;
  const double w = std::exp((-e * e) / (0.1 * 0.1)) * 0.1;
  return Quaternion(w * theta, ng) * qp;
}

// ======================================================= filter and bias

TEST(AttitudeFilterTest, InitGivesTheIdentityAndAZeroBias) {
  Filter filter;
  ASSERT_NE(filter.f.q, nullptr);
  ExpectIdentical(filter.q(), Quaternion(1, 0, 0, 0));
  EXPECT_EQ(filter.f.gyro_bias[0], 0.0);
  EXPECT_EQ(filter.f.gyro_bias[1], 0.0);
  EXPECT_EQ(filter.f.gyro_bias[2], 0.0);
  EXPECT_EQ(filter.f.bias_count, 0);
  const Angles a = filter.angles();
  EXPECT_EQ(a.roll, 0);
  EXPECT_EQ(a.pitch, -90);
  EXPECT_EQ(a.yaw, 0);
}

TEST(AttitudeFilterTest, ReleaseFreesTheQuaternionAndIsSafeTwice) {
  AttitudeFilter f;
  attitude_init(&f);
  attitude_release(&f);
  EXPECT_EQ(f.q, nullptr);
  attitude_release(&f);  // second call: nothing to free
  EXPECT_EQ(f.q, nullptr);

  // A released filter changes nothing and reads as the identity.
  const double gyro[3] = {1, 2, 3}, accl[3] = {0, 0.6, -0.8}, magn[3] = {0, 0, 0};
  const matrix<double> r = attitude_update(&f, gyro, accl, magn, 0.02);
  ExpectSameMatrix(r, Quaternion().rotation_matrix());
  EXPECT_EQ(f.bias_count, 0);
  Angles a{};
  attitude_angles(&f, &a.roll, &a.pitch, &a.yaw);
  EXPECT_EQ(a.roll, 0);
  EXPECT_EQ(a.pitch, -90);
  EXPECT_EQ(a.yaw, 0);
}

TEST(AttitudeFilterTest, FirstUpdateTakesTheSampleAsBiasAndOnlyCorrects) {
  Filter filter;
  const Vec3 gyro = {3.5, -4.25, 25.0};  // outside the band: the first is taken anyway
  const Vec3 accl = {0.0, 0.6, -0.8};    // 1 g, tilted by asin(0.6) about x
  const matrix<double> r = filter.Update(gyro, accl);

  EXPECT_EQ(filter.f.gyro_bias[0], 3.5);
  EXPECT_EQ(filter.f.gyro_bias[1], -4.25);
  EXPECT_EQ(filter.f.gyro_bias[2], 25.0);
  EXPECT_EQ(filter.f.bias_count, 1);

  // The step rotation is exactly the identity: only the correction moved q.
  ExpectEqual(filter.q(), ReferenceCorrection(Quaternion(), accl));
  ExpectSameMatrix(r, filter.q().rotation_matrix());

  // Physically: a tenth of the tilt is taken out.
  const double tilt = std::asin(0.6);
  EXPECT_NEAR(AngleToReference(Apply(r, accl)), 0.9 * tilt, 1e-12);
  // The correction axis is the reference x axis (ng = (-a.y, a.x, 0)).
  EXPECT_NEAR(filter.q().get_s(), std::cos(0.1 * tilt / 2), 1e-12);
  EXPECT_NEAR(filter.q().v_ref()[0], -std::sin(0.1 * tilt / 2), 1e-12);
  EXPECT_EQ(filter.q().v_ref()[1], 0.0);
  EXPECT_EQ(filter.q().v_ref()[2], 0.0);
}

TEST(AttitudeFilterTest, CorrectionWeightFollowsTheAccelerationMagnitude) {
  const double tilt = 0.3;
  struct Case {
    double g;
    double expected;  // the documented weight
  };
  for (const Case& c : {Case{1.0, 0.1}, Case{0.9, 0.0368}, Case{1.1, 0.0368}, Case{0.8, 0.00183},
                        Case{1.2, 0.00183}, Case{2.0, 3.7e-45},
                        Case{1e-9, 3.7e-45} /* 0 g, but a direction to correct */}) {
    SCOPED_TRACE(c.g);
    Filter filter;
    const Vec3 accl = {0.0, c.g * std::sin(tilt), -c.g * std::cos(tilt)};
    filter.Update({0, 0, 0}, accl);
    const double turned = 2.0 * std::atan2(Norm(filter.q().v_ref()), filter.q().get_s());
    const double e = c.g - 1.0;
    const double w = std::exp(-(e * e) / 0.01) * 0.1;
    EXPECT_NEAR(turned / tilt / w, 1.0, 1e-9);
    EXPECT_NEAR(turned / tilt / c.expected, 1.0, 0.01);
  }
  // Exactly 0 g: nothing to correct, and q stays finite (the identity).
  Filter filter;
  filter.Update({0, 0, 0}, {0, 0, 0});
  ExpectIdentical(filter.q(), Quaternion(1, 0, 0, 0));
}

TEST(AttitudeFilterTest, ZeroLengthCorrectionAxisSkipsTheCorrection) {
  for (double z : {1.0, -1.0, 0.25, -3.0, 0.0}) {
    SCOPED_TRACE(z);
    Filter filter;
    const matrix<double> r = filter.Update({0, 0, 0}, {0, 0, z});
    ExpectIdentical(filter.q(), Quaternion(1, 0, 0, 0));
    ExpectSameMatrix(r, Quaternion().rotation_matrix());
    EXPECT_EQ(filter.f.bias_count, 1);
  }
  // Propagation still acts: a turn about z keeps the acceleration on the axis.
  Filter filter;
  filter.Update({0, 0, 0}, {0, 0, 1});
  filter.Update({0, 0, 5}, {0, 0, 1});  // accepted: bias z becomes 2.5
  EXPECT_EQ(filter.f.gyro_bias[2], 2.5);
  const double theta_z = ((5.0 - 2.5) * kDegToRad) * 0.02;
  ExpectEqual(filter.q(), Quaternion() * Quaternion(0.0, 0.0, theta_z));
  EXPECT_TRUE(Finite(filter.q()));
}

TEST(AttitudeFilterTest, StartsExactlyOnTheAxisThenTilts) {
  // A device lying flat face up, (0, 0, +1 g), while the filter starts at the
  // identity (face down): the reference-frame image is (0, 0, 1), exactly on
  // the axis. Without the skip, q would turn NaN on the first sample.
  Filter filter;
  for (int i = 0; i < 50; ++i) {
    filter.Update({0, 0, 0}, {0, 0, 1});
    ASSERT_TRUE(Finite(filter.q()));
  }
  ExpectIdentical(filter.q(), Quaternion(1, 0, 0, 0));

  // Tilted by 30.5 degrees about x from face up: f = (0, sin 30.5, cos 30.5).
  const Vec3 accl = {0.0, std::sin(30.5 * kDegToRad), std::cos(30.5 * kDegToRad)};
  matrix<double> r = filter.Update({0, 0, 0}, accl);
  for (int i = 0; i < 300; ++i) {
    r = filter.Update({0, 0, 0}, accl);
    ASSERT_TRUE(Finite(filter.q())) << "sample " << i;
    const Angles a = filter.angles();
    ASSERT_GE(a.roll, -90);
    ASSERT_LE(a.roll, 90);
    ASSERT_GE(a.pitch, -180);
    ASSERT_LE(a.pitch, 179);
  }
  // Converged: the acceleration maps onto (0, 0, -1 g) ...
  const dVector a_ref = Apply(r, accl);
  EXPECT_NEAR(a_ref[0], 0.0, 1e-9);
  EXPECT_NEAR(a_ref[1], 0.0, 1e-9);
  EXPECT_NEAR(a_ref[2], -1.0, 1e-9);
  // ... and roll and pitch are those of the device: the x-axis angle is 210.5
  // degrees (180 face up plus the tilt), which the decomposition reads as
  // -149.5, so pitch is T(-149.5) - 90 = -239, folded to 121.
  const Angles a = filter.angles();
  EXPECT_EQ(a.roll, 0);
  EXPECT_EQ(a.pitch, 121);
}

TEST(AttitudeFilterTest, BiasBandRejectsButStillCounts) {
  Filter filter;
  double* bias = filter.f.gyro_bias;
  const double first[3] = {1, 1, 1};
  gyro_bias_update(&filter.f, bias, first, 10000, 10.0);
  EXPECT_EQ(bias[0], 1.0);
  EXPECT_EQ(filter.f.bias_count, 1);

  // Exactly +-band on one axis rejects; the count still rises.
  const double plus_band[3] = {11, 1, 1};
  gyro_bias_update(&filter.f, bias, plus_band, 10000, 10.0);
  const double minus_band[3] = {1, 1, -9};
  gyro_bias_update(&filter.f, bias, minus_band, 10000, 10.0);
  const double nan_rate[3] = {1, kNaN, 1};
  gyro_bias_update(&filter.f, bias, nan_rate, 10000, 10.0);
  const double inf_rate[3] = {-kInf, 1, 1};
  gyro_bias_update(&filter.f, bias, inf_rate, 10000, 10.0);
  EXPECT_EQ(bias[0], 1.0);
  EXPECT_EQ(bias[1], 1.0);
  EXPECT_EQ(bias[2], 1.0);
  EXPECT_EQ(filter.f.bias_count, 5);

  // Just inside the band: accepted, weighted 1/(n + 1) with n = 5, counting
  // the rejected calls.
  const double inside[3] = {10.9, 1, -8.5};
  gyro_bias_update(&filter.f, bias, inside, 10000, 10.0);
  EXPECT_EQ(bias[0], (5.0 * 1.0 + 10.9) / 6.0);
  EXPECT_EQ(bias[1], (5.0 * 1.0 + 1.0) / 6.0);
  EXPECT_EQ(bias[2], (5.0 * 1.0 + -8.5) / 6.0);
  EXPECT_EQ(filter.f.bias_count, 6);
}

TEST(AttitudeFilterTest, BiasThroughTheUpdate) {
  Filter filter;
  filter.Update({2, -3, 4}, {0, 0, -1});
  filter.Update({40, -3, 4}, {0, 0, -1});  // rejected on x
  EXPECT_EQ(filter.f.gyro_bias[0], 2.0);
  EXPECT_EQ(filter.f.bias_count, 2);
  filter.Update({5, -3, 4}, {0, 0, -1});  // accepted, weight 1/3
  EXPECT_EQ(filter.f.gyro_bias[0], (2.0 * 2.0 + 5.0) / 3.0);
  EXPECT_EQ(filter.f.gyro_bias[1], (2.0 * -3.0 + -3.0) / 3.0);
  EXPECT_EQ(filter.f.bias_count, 3);
}

TEST(AttitudeFilterTest, BiasCountIsCapped) {
  Filter filter;
  double* bias = filter.f.gyro_bias;
  const double zero[3] = {0, 0, 0};
  for (int i = 0; i < 10003; ++i) gyro_bias_update(&filter.f, bias, zero, 10000, 10.0);
  EXPECT_EQ(filter.f.bias_count, 10000);
  // At the cap, an accepted sample is weighted 1/10001.
  const double five[3] = {5, 0, -5};
  gyro_bias_update(&filter.f, bias, five, 10000, 10.0);
  EXPECT_EQ(bias[0], 5.0 / 10001.0);
  EXPECT_EQ(bias[2], -5.0 / 10001.0);
  EXPECT_EQ(filter.f.bias_count, 10000);

  // Another cap.
  Filter small;
  for (int i = 0; i < 5; ++i) gyro_bias_update(&small.f, small.f.gyro_bias, zero, 3, 10.0);
  EXPECT_EQ(small.f.bias_count, 3);

  // Through the update: 10000 and no further.
  Filter updated;
  for (int i = 0; i < 10010; ++i) updated.Update({0.1, 0, 0}, {0, 0, -1});
  EXPECT_EQ(updated.f.bias_count, 10000);
}

TEST(AttitudeFilterTest, NonFiniteFirstBiasSampleIsRejected) {
  Filter filter;
  const double nan_rate[3] = {kNaN, 0, 0};
  gyro_bias_update(&filter.f, filter.f.gyro_bias, nan_rate, 10000, 10.0);
  EXPECT_EQ(filter.f.gyro_bias[0], 0.0);
  EXPECT_EQ(filter.f.bias_count, 1);
  const double rate[3] = {4, 0, 0};
  gyro_bias_update(&filter.f, filter.f.gyro_bias, rate, 10000, 10.0);
  EXPECT_EQ(filter.f.gyro_bias[0], 2.0);  // (1 * 0 + 4) / 2
}

TEST(AttitudeFilterTest, ZeroTimeStepTurnsOffPropagation) {
  const Vec3 tilted = {0.0, 0.6, -0.8};
  Filter still;
  still.Update({0, 0, 0}, {0, 0, -1});  // bias 0, q the identity
  still.Update({5, -3, 2}, tilted, 0.0);
  // Only the correction acted, as on an identity propagation.
  ExpectEqual(still.q(), ReferenceCorrection(Quaternion(), tilted));

  Filter moving;
  moving.Update({0, 0, 0}, {0, 0, -1});
  moving.Update({5, -3, 2}, tilted, 0.02);
  EXPECT_NE(moving.q().get_s(), still.q().get_s());
  // With dt = 0.02 the step rotation came first, on the right.
  const double k = kDegToRad;
  const Quaternion dq(((5 - 2.5) * k) * 0.02, ((-3 - -1.5) * k) * 0.02, ((2 - 1.0) * k) * 0.02);
  ExpectEqual(moving.q(), ReferenceCorrection(Quaternion() * dq, tilted));
}

TEST(AttitudeFilterTest, MagnetometerIsIgnored) {
  Filter a, b;
  for (int i = 0; i < 200; ++i) {
    const double t = i * 0.02;
    const Vec3 gyro = {20 * std::sin(t), -5.0 + i % 7, 12 * std::cos(3 * t)};
    const Vec3 accl = {0.2 * std::sin(t), -0.3, -0.9 + 0.05 * std::cos(t)};
    const matrix<double> ra = a.Update(gyro, accl, 0.02, {0, 0, 0});
    const matrix<double> rb = b.Update(gyro, accl, 0.02, {1e3 * i, kNaN, -kInf});
    ExpectSameMatrix(ra, rb);
  }
  ExpectIdentical(a.q(), b.q());
  EXPECT_EQ(std::memcmp(a.f.gyro_bias, b.f.gyro_bias, sizeof(a.f.gyro_bias)), 0);
  EXPECT_EQ(a.f.bias_count, b.f.bias_count);
  // A null magnetometer pointer is fine too: it is never read.
  const double g[3] = {1, 2, 3}, acc[3] = {0, 0.1, -1};
  attitude_update(&a.f, g, acc, nullptr, 0.02);
}

TEST(AttitudeFilterTest, NonFiniteInputsLeaveTheFilterUnchanged) {
  Filter filter;
  for (int i = 0; i < 20; ++i) filter.Update({1, 2, 3}, {0.1, 0.2, -0.95});
  const Quaternion before = filter.q();
  const double bias[3] = {filter.f.gyro_bias[0], filter.f.gyro_bias[1], filter.f.gyro_bias[2]};
  const int32_t count = filter.f.bias_count;

  const matrix<double> r1 = filter.Update({kNaN, 0, 0}, {0, 0, -1});
  filter.Update({0, 0, 0}, {0, kInf, -1});
  filter.Update({0, 0, 0}, {0, 0, -kNaN});
  filter.Update({0, -kInf, 0}, {0, 0, -1});
  filter.Update({0, 0, 0}, {0, 0, -1}, kNaN);
  filter.Update({0, 0, 0}, {0, 0, -1}, kInf);
  ExpectIdentical(filter.q(), before);
  EXPECT_EQ(std::memcmp(filter.f.gyro_bias, bias, sizeof(bias)), 0);
  EXPECT_EQ(filter.f.bias_count, count);
  ExpectSameMatrix(r1, before.rotation_matrix());

  // Huge finite inputs overflow inside the arithmetic; q stays finite. (The
  // rates equal the bias, (1, 2, 3), except where a huge rate is rejected.)
  filter.Update({1, 2, 3}, {1e200, -1e200, 1e200});  // inf / inf tilt
  EXPECT_TRUE(Finite(filter.q()));
  filter.Update({1e300, -1e300, 1e300}, {0, 0.1, -1}, 1e12);  // infinite step angle
  EXPECT_TRUE(Finite(filter.q()));
  filter.Update({1, 2, 3}, {1e-200, 1e-200, -1});  // ng's squares underflow to 0
  EXPECT_TRUE(Finite(filter.q()));
  EXPECT_EQ(filter.f.gyro_bias[0], 1.0);
  const Angles a = filter.angles();
  EXPECT_GE(a.roll, -90);
  EXPECT_LE(a.roll, 90);

  // And the filter goes on working.
  for (int i = 0; i < 200; ++i) filter.Update({1, 2, 3}, {0, 0.6, -0.8});
  EXPECT_NEAR(AngleToReference(Apply(filter.q().rotation_matrix(), {0, 0.6, -0.8})), 0.0, 1e-6);
}

TEST(AttitudeFilterTest, NormStaysNearOneWithoutNormalising) {
  Filter filter;
  for (int i = 0; i < 20000; ++i) {
    const double t = i * 0.02;
    filter.Update({40 * std::sin(t), 25 * std::cos(0.7 * t), 60 * std::sin(0.3 * t)},
                  {0.3 * std::sin(t), 0.2, -0.9});
  }
  EXPECT_NEAR(filter.q().norm(), 1.0, 1e-12);
}

// =============================================================== angles

Angles AnglesOf(const Quaternion& q) {
  AttitudeFilter f;
  attitude_init(&f);
  *f.q = q;
  Angles a{};
  attitude_angles(&f, &a.roll, &a.pitch, &a.yaw);
  attitude_release(&f);
  return a;
}

Angles AnglesOfDegrees(double a, double b, double c) {
  return AnglesOf(Quaternion(a * kDegToRad, b * kDegToRad, c * kDegToRad));
}

void ExpectAngles(const Angles& a, int32_t roll, int32_t pitch, int32_t yaw) {
  EXPECT_EQ(a.roll, roll);
  EXPECT_EQ(a.pitch, pitch);
  EXPECT_EQ(a.yaw, yaw);
}

TEST(AttitudeAnglesTest, IdentityReadsZeroMinusNinetyZero) {
  ExpectAngles(AnglesOf(Quaternion()), 0, -90, 0);
}

TEST(AttitudeAnglesTest, ThreeAngleDecomposition) {
  // roll is the y angle, pitch the x angle less 90, yaw the z angle, each
  // truncated toward zero.
  ExpectAngles(AnglesOfDegrees(30.5, 20.5, 45.5), 20, -60, 45);
  ExpectAngles(AnglesOfDegrees(-30.5, -20.5, -45.5), -20, -120, -45);
  ExpectAngles(AnglesOfDegrees(100.7, -60.9, 170.2), -60, 10, 170);
  ExpectAngles(AnglesOfDegrees(0, 0, -179.5), 0, -90, -179);
}

TEST(AttitudeAnglesTest, PitchFoldsAtMinus180) {
  ExpectAngles(AnglesOfDegrees(-90.5, 0, 0), 0, -180, 0);  // -180 stays
  ExpectAngles(AnglesOfDegrees(-91.5, 0, 0), 0, 179, 0);   // -181 + 360
  ExpectAngles(AnglesOfDegrees(-120.5, 0, 0), 0, 150, 0);  // -210 + 360
  ExpectAngles(AnglesOfDegrees(180, 0, 0), 0, 90, 0);      // atan2 -> pi
  ExpectAngles(AnglesOfDegrees(-180, 0, 0), 0, 90, 0);     // atan2 -> -pi, -270 + 360
  // Yaw reaches 180: pi narrowed to single precision is 180.000005 degrees.
  EXPECT_EQ(AnglesOfDegrees(0, 0, 180).yaw, 180);
}

TEST(AttitudeAnglesTest, RollReachesNinetyWithoutNaN) {
  // 2 * cos 45 * sin 45 slightly exceeds 1 in double; narrowed it is 1.0f.
  EXPECT_EQ(AnglesOfDegrees(0, 90, 0).roll, 90);
  EXPECT_EQ(AnglesOfDegrees(0, -90, 0).roll, -90);
  // A quaternion whose norm has drifted: the argument is clamped to [-1, 1].
  EXPECT_EQ(AnglesOf(Quaternion(1, 0, 1, 0)).roll, 90);
  EXPECT_EQ(AnglesOf(Quaternion(1, 0, -1, 0)).roll, -90);
}

TEST(AttitudeAnglesTest, NonFiniteQuaternionReadsZeroAngles) {
  ExpectAngles(AnglesOf(Quaternion(kNaN, kNaN, kNaN, kNaN)), 0, -90, 0);
  ExpectAngles(AnglesOf(Quaternion(kInf, 0, 0, 0)), 0, -90, 0);
}

TEST(AttitudeAnglesTest, SinglePrecisionNarrowingPoints) {
  // Near the 20-degree truncation boundary: only the prescribed order of
  // narrowings (argument, then result) gives 20; pure double gives 19, and
  // so does narrowing the result alone.
  EXPECT_EQ(AnglesOf(Quaternion(0.984807753013795, 0, 0.17364817765793034, 0)).roll, 20);
  // Near 50 degrees: narrowing only the argument would give 49.
  EXPECT_EQ(AnglesOf(Quaternion(0.9063077870408468, 0, 0.4226182617316994, 0)).roll, 50);

  // The two atan2 angles: about x for pitch, about z for yaw. Each case is
  // one degree higher than what leaving out one of the three narrowings
  // would give (the first argument, the second argument, the result).
  struct Case {
    double s, v;
    int32_t degrees;
  };
  for (const Case& c : {Case{0.997564050260034, 0.0697564737411253, 8},       // first
                        Case{0.9996573249756359, 0.026176948304873153, 3},    // second
                        Case{0.9981347984220504, 0.06104853953185687, 7}}) {  // result
    SCOPED_TRACE(c.degrees);
    EXPECT_EQ(AnglesOf(Quaternion(c.s, c.v, 0, 0)).pitch, c.degrees - 90);
    EXPECT_EQ(AnglesOf(Quaternion(c.s, 0, 0, c.v)).yaw, c.degrees);
  }
}

// ================================================ inside the detector

// Simulates a device at rest or turning at a constant body-frame rate and
// produces its raw samples (8192 counts per g, 65.536 counts per deg/s).
class ImuSimulator {
 public:
  // Holds the current attitude for n samples.
  void Hold(int n) {
    for (int i = 0; i < n; ++i) Emit({0, 0, 0});
  }

  // Turns from the current attitude to target at about rate_dps about one
  // body-frame axis (a constant rate, so the rotation increments commute and
  // the low-pass filtered rates integrate to the same angle).
  void TurnTo(const Quaternion& target, double rate_dps) {
    const Quaternion delta = truth_.conjugate() * target;  // body-frame increment
    const dVector v = delta.get_v();
    double angle = 2.0 * std::atan2(Norm(v), delta.get_s());
    dVector axis = v / Norm(v);
    if (angle > kPi) {
      angle = 2.0 * kPi - angle;
      axis = -1.0 * axis;
    }
    const int steps = static_cast<int>(std::lround(angle / kDegToRad / (rate_dps * 0.02)));
    const double step = angle / steps;
    const Vec3 rate = {axis[0] * step / kDegToRad / 0.02, axis[1] * step / kDegToRad / 0.02,
                       axis[2] * step / kDegToRad / 0.02};
    for (int i = 0; i < steps; ++i) {
      truth_ = truth_ * Quaternion(step, axis);
      if (i == steps - 1) truth_ = target;
      Emit(rate);
    }
  }

  // The specific force in sensor axes: R^T (0, 0, -1) g.
  dVector SpecificForce() const {
    return ((truth_.conjugate() * Quaternion(0, 0, 0, -1)) * truth_).get_v();
  }

  void SetTruth(const Quaternion& q) { truth_ = q; }
  const std::vector<RawSample>& samples() const { return samples_; }
  int count() const { return static_cast<int>(samples_.size()); }

 private:
  static int16_t Counts(double value) { return static_cast<int16_t>(std::lround(value)); }

  void Emit(const Vec3& rate_dps) {
    const dVector f = SpecificForce();
    samples_.push_back(RawSample{Counts(f[0] * 8192), Counts(f[1] * 8192), Counts(f[2] * 8192),
                                 Counts(rate_dps[0] * 65.536), Counts(rate_dps[1] * 65.536),
                                 Counts(rate_dps[2] * 65.536)});
  }

  Quaternion truth_;
  std::vector<RawSample> samples_;
};

Quaternion Degrees(double a, double b, double c) {
  return Quaternion(a * kDegToRad, b * kDegToRad, c * kDegToRad);
}

struct Checkpoint {
  int sample;  // 0-based index of the sample after which to look
  Angles expected;
};

// Face down and still for 2 s, then 30.5 degrees about x, then 45.5 degrees
// about the vertical, then 20.5 degrees of roll: the attitudes
// (30.5, 0, 0), (30.5, 0, 45.5) and (30.5, 20.5, 45.5) of the three-angle
// constructor, turned at about 62.5 deg/s and each held for 3 s. The half
// degrees keep the truncated angles clear of their integer boundaries: the
// filter ends within 0.2 degrees of the truth (yaw, which gravity cannot
// correct, drifts by what the bias estimator takes in at the end of each
// turn), so the integer angles must match exactly.
ImuSimulator StillTiltedRotated(std::vector<Checkpoint>* checkpoints) {
  ImuSimulator sim;
  sim.Hold(100);
  checkpoints->push_back({sim.count() - 1, {0, -90, 0}});
  sim.TurnTo(Degrees(30.5, 0, 0), 62.5);
  sim.Hold(150);
  checkpoints->push_back({sim.count() - 1, {0, -60, 0}});  // pitch 30 - 90
  sim.TurnTo(Degrees(30.5, 0, 45.5), 62.5);
  sim.Hold(150);
  checkpoints->push_back({sim.count() - 1, {0, -60, 45}});
  sim.TurnTo(Degrees(30.5, 20.5, 45.5), 62.5);
  sim.Hold(150);
  checkpoints->push_back({sim.count() - 1, {20, -60, 45}});
  return sim;
}

class AttitudeDetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tumblix_set_display_name("attitude.csv");
    TumblixConfig cfg;
    tumblix_default_config(&cfg);
    ASSERT_EQ(tumblix_create(det_.get(), &cfg), det_.get());
  }
  void TearDown() override { tumblix_destroy(det_.get()); }

  Angles Step(const RawSample& s) {
    tumblix_process(det_.get(), &s);
    const MotionFeatures& f = det_->features;
    return Angles{f.roll, f.pitch, f.yaw};
  }

  std::unique_ptr<TumblixDetector> det_ = std::make_unique<TumblixDetector>();
};

TEST_F(AttitudeDetectorTest, SimulatorReadsThePhysicalSpecificForce) {
  // Face down: -1 g on z. Tilted 30 degrees about x: the sensor's y axis dips
  // toward the ground (R y = (0, cos 30, sin 30), z down), so the upward
  // specific force has a y component of -sin 30.
  ImuSimulator sim;
  sim.Hold(1);
  sim.SetTruth(Degrees(30, 0, 0));
  sim.Hold(1);
  sim.SetTruth(Degrees(0, 20, 0));  // roll: the x axis tilts up, +sin 20 on x
  sim.Hold(1);
  sim.SetTruth(Degrees(180, 0, 0));  // face up
  sim.Hold(1);
  const std::vector<RawSample>& s = sim.samples();
  EXPECT_EQ(s[0].accX, 0);
  EXPECT_EQ(s[0].accY, 0);
  EXPECT_EQ(s[0].accZ, -8192);
  EXPECT_EQ(s[1].accX, 0);
  EXPECT_EQ(s[1].accY, -4096);
  EXPECT_EQ(s[1].accZ, -7094);  // -8192 cos 30 = -7094.4
  EXPECT_EQ(s[2].accX, 2802);   // 8192 sin 20 = 2801.8
  EXPECT_EQ(s[2].accY, 0);
  EXPECT_EQ(s[2].accZ, -7698);  // -8192 cos 20 = -7697.9
  EXPECT_EQ(s[3].accZ, 8192);
  EXPECT_EQ(s[3].accY, 0);
}

TEST_F(AttitudeDetectorTest, StillTiltedRotatedConvergesToThePhysicalAngles) {
  std::vector<Checkpoint> checkpoints;
  const ImuSimulator sim = StillTiltedRotated(&checkpoints);
  size_t next = 0;
  for (int i = 0; i < sim.count(); ++i) {
    const Angles a = Step(sim.samples()[i]);
    ASSERT_TRUE(Finite(*det_->features.attitude.q)) << "sample " << i;
    if (i < 100) {
      // Exactly on the axis the whole time (the low-pass filter ramps along
      // z): every correction is skipped and q stays the identity.
      ASSERT_EQ(a.roll, 0);
      ASSERT_EQ(a.pitch, -90);
      ASSERT_EQ(a.yaw, 0);
    }
    if (next < checkpoints.size() && checkpoints[next].sample == i) {
      const Checkpoint& c = checkpoints[next++];
      SCOPED_TRACE(testing::Message() << "checkpoint at sample " << i);
      EXPECT_EQ(a.roll, c.expected.roll);
      EXPECT_EQ(a.pitch, c.expected.pitch);
      EXPECT_EQ(a.yaw, c.expected.yaw);
    }
  }
  EXPECT_EQ(next, checkpoints.size());
}

TEST_F(AttitudeDetectorTest, StartsFaceUpOnTheAxisThenTilts) {
  // Lying flat face up reads exactly (0, 0, 8192). The filter starts at the
  // identity (face down), so the image of the acceleration is exactly
  // (0, 0, +1): the correction axis has length 0 and the correction is
  // skipped, which keeps q finite. The filter stays at that (unstable)
  // equilibrium until the device moves.
  ImuSimulator sim;
  sim.SetTruth(Degrees(180, 0, 0));
  sim.Hold(100);
  ASSERT_EQ(sim.samples()[0].accZ, 8192);
  ASSERT_EQ(sim.samples()[0].accY, 0);
  sim.TurnTo(Degrees(210.5, 0, 0), 62.5);
  sim.Hold(400);
  for (int i = 0; i < sim.count(); ++i) {
    const Angles a = Step(sim.samples()[i]);
    ASSERT_TRUE(Finite(*det_->features.attitude.q)) << "sample " << i;
    ASSERT_GE(a.roll, -90);
    ASSERT_LE(a.roll, 90);
    ASSERT_GE(a.pitch, -180);
    ASSERT_LE(a.pitch, 179);
    ASSERT_GE(a.yaw, -180);
    ASSERT_LE(a.yaw, 180);
    if (i < 100) {
      ASSERT_EQ(a.pitch, -90) << "sample " << i;
    }
  }
  // Gravity fixes roll and pitch: the x-axis angle is 210.5 degrees, which
  // the decomposition reads as -149.5, truncated to -149, so pitch is
  // -149 - 90 = -239, folded to 121. (The heading is not observable, and the
  // filter reached this attitude by its own corrections, so yaw is not
  // checked.)
  const MotionFeatures& f = det_->features;
  EXPECT_EQ(f.roll, 0);
  EXPECT_EQ(f.pitch, 121);
}

TEST(AttitudeDetectorLifecycleTest, DestroyReleasesTheQuaternion) {
  // Thousands of recordings: every detector frees its quaternion (run under
  // LeakSanitizer, a leak fails this test).
  TumblixConfig cfg;
  tumblix_default_config(&cfg);
  auto det = std::make_unique<TumblixDetector>();
  const RawSample s{100, -200, -8000, 30, -40, 50};
  for (int r = 0; r < 2000; ++r) {
    ASSERT_EQ(tumblix_create(det.get(), &cfg), det.get());
    ASSERT_NE(det->features.attitude.q, nullptr);
    for (int i = 0; i < 5; ++i) tumblix_process(det.get(), &s);
    tumblix_destroy(det.get());
    ASSERT_EQ(det->features.attitude.q, nullptr);
  }
}

// ==================================================== the trace shows them

class TempFolder {
 public:
  TempFolder() {
    std::string templ = (std::filesystem::temp_directory_path() / "attitude_trace_XXXXXX").string();
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  std::string field;
  while (std::getline(in, field, ',')) fields.push_back(field);
  return fields;
}

TEST(AttitudeTraceTest, TraceCarriesTheConvergedAngles) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  std::vector<Checkpoint> checkpoints;
  const ImuSimulator sim = StillTiltedRotated(&checkpoints);

  // A device recording: six header lines, then "index,accX,...,gyroZ".
  const std::string recording = (folder.path() / "S99T01R01.csv").string();
  {
    std::ofstream out(recording);
    for (int i = 0; i < 6; ++i) out << "header line " << i << "\n";
    for (int i = 0; i < sim.count(); ++i) {
      const RawSample& s = sim.samples()[i];
      out << i << "," << s.accX << "," << s.accY << "," << s.accZ << "," << s.gyroX << ","
          << s.gyroY << "," << s.gyroZ << "\n";
    }
  }
  const EvalStats saved = *ProcessEvalStats();  // the replay scores into it
  testing::internal::CaptureStdout();
  const int result = ReplayDeviceRecording(recording.c_str(), 0, 0);
  testing::internal::GetCapturedStdout();
  *ProcessEvalStats() = saved;
  ASSERT_EQ(result, 0);

  std::ifstream trace((folder.path() / "S99T01R01_DSV.csv").string());
  ASSERT_TRUE(trace.is_open());
  std::string line;
  ASSERT_TRUE(static_cast<bool>(std::getline(trace, line)));
  const std::vector<std::string> header = SplitCsv(line);
  int roll_col = -1, pitch_col = -1, yaw_col = -1;
  for (size_t i = 0; i < header.size(); ++i) {
    if (header[i] == "roll") roll_col = static_cast<int>(i);
    if (header[i] == "pitch") pitch_col = static_cast<int>(i);
    if (header[i] == "yaw") yaw_col = static_cast<int>(i);
  }
  ASSERT_GE(roll_col, 0);
  ASSERT_GE(pitch_col, 0);
  ASSERT_GE(yaw_col, 0);

  std::vector<Angles> rows;
  while (std::getline(trace, line)) {
    const std::vector<std::string> f = SplitCsv(line);
    ASSERT_GT(f.size(), static_cast<size_t>(yaw_col));
    rows.push_back(Angles{std::atoi(f[roll_col].c_str()), std::atoi(f[pitch_col].c_str()),
                          std::atoi(f[yaw_col].c_str())});
  }
  ASSERT_EQ(rows.size(), static_cast<size_t>(sim.count()));
  for (const Checkpoint& c : checkpoints) {
    SCOPED_TRACE(testing::Message() << "trace row " << c.sample);
    const Angles& a = rows[c.sample];
    EXPECT_EQ(a.roll, c.expected.roll);
    EXPECT_EQ(a.pitch, c.expected.pitch);
    EXPECT_EQ(a.yaw, c.expected.yaw);
  }
}

}  // namespace
