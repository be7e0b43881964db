// Quaternion.
#include "tumblix/attitude_lib/Quaternion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

constexpr double kPi = 3.141592653589793;

void ExpectQuaternion(const Quaternion& q, double s, double x, double y, double z) {
  const dVector v = q.get_v();
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(q.get_s(), s);
  EXPECT_EQ(v[0], x);
  EXPECT_EQ(v[1], y);
  EXPECT_EQ(v[2], z);
}

// Exact (bit for bit, apart from the sign of zero) equality of two quaternions.
void ExpectSame(const Quaternion& a, const Quaternion& b) {
  const dVector v = b.get_v();
  ExpectQuaternion(a, b.get_s(), v[0], v[1], v[2]);
}

Quaternion Random(std::mt19937* gen) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const double s = u(*gen), x = u(*gen), y = u(*gen), z = u(*gen);
  return Quaternion(s, x, y, z);
}

// ------------------------------------------------------------ construction

TEST(QuaternionTest, IdentityConstructors) {
  ExpectQuaternion(Quaternion(), 1, 0, 0, 0);
  ExpectQuaternion(Quaternion(1, 0, 0, 0), 1, 0, 0, 0);
  ExpectQuaternion(Quaternion(0.5, -1.5, 2.5, 4), 0.5, -1.5, 2.5, 4);
  const matrix<double> r = Quaternion().rotation_matrix();
  for (unsigned i = 0; i < 3; ++i) {
    for (unsigned j = 0; j < 3; ++j) EXPECT_EQ(r(i, j), i == j ? 1.0 : 0.0);
  }
}

TEST(QuaternionTest, AccessorsCopy) {
  Quaternion q(1, 2, 3, 4);
  dVector v = q.get_v();
  v[0] = 100;  // a copy: q is not changed
  ExpectQuaternion(q, 1, 2, 3, 4);

  dVector w = Vector3(-1, -2, -3);
  q.set_v(w);
  w[1] = 100;  // set_v copied it
  q.set_s(0.25);
  ExpectQuaternion(q, 0.25, -1, -2, -3);
  EXPECT_EQ(&q.v_ref(), &q.v_ref());  // the view is the member itself
  EXPECT_EQ(q.v_ref()[2], -3);
}

TEST(QuaternionTest, AngleAxis) {
  // Angle 0 gives the identity for any nonzero axis.
  ExpectQuaternion(Quaternion(0.0, Vector3(0.3, -4, 12)), 1, 0, 0, 0);
  // A scaled axis gives the same quaternion, exactly.
  ExpectSame(Quaternion(0.7, Vector3(0, 0, 2)), Quaternion(0.7, Vector3(0, 0, 1)));
  ExpectSame(Quaternion(-1.3, Vector3(0, 8, 0)), Quaternion(-1.3, Vector3(0, 1, 0)));
  // A quarter turn about z.
  const Quaternion q(kPi / 2, Vector3(0, 0, 1));
  EXPECT_EQ(q.get_s(), std::cos(kPi / 4));
  EXPECT_EQ(q.get_v()[2], std::sin(kPi / 4));
  // The product first, then the division: (sin(a/2) * axis) / Norm(axis).
  std::mt19937 gen(5);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  int divided_first_differs = 0;
  for (int n = 0; n < 200; ++n) {
    const double a = u(gen);
    const dVector axis = Vector3(u(gen), u(gen), u(gen));
    const double norm =
        std::sqrt(((0.0 + axis[0] * axis[0]) + axis[1] * axis[1]) + axis[2] * axis[2]);
    const Quaternion q(a, axis);
    EXPECT_EQ(q.get_s(), std::cos(a / 2));
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(q.get_v()[i], (std::sin(a / 2) * axis[i]) / norm);
      if (q.get_v()[i] != std::sin(a / 2) * (axis[i] / norm)) ++divided_first_differs;
    }
  }
  EXPECT_GT(divided_first_differs, 0);  // the order matters somewhere
  // An axis of length 0: NaN vector elements, no error.
  const Quaternion z(1.0, Vector3(0, 0, 0));
  EXPECT_EQ(z.get_s(), std::cos(0.5));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isnan(z.get_v()[i]));
}

TEST(QuaternionTest, ThreeAngleConstructor) {
  ExpectQuaternion(Quaternion(0.0, 0.0, 0.0), 1, 0, 0, 0);
  for (double a : {0.3, -0.3, 1.0, -2.5, kPi, 3.0}) {
    SCOPED_TRACE(a);
    ExpectSame(Quaternion(a, 0.0, 0.0), Quaternion(a, Vector3(1, 0, 0)));
    ExpectSame(Quaternion(0.0, a, 0.0), Quaternion(a, Vector3(0, 1, 0)));
    ExpectSame(Quaternion(0.0, 0.0, a), Quaternion(a, Vector3(0, 0, 1)));
  }
  // (Qz Qy) Qx, grouped in this order.
  const double a = 0.4, b = -0.7, c = 2.2;
  const Quaternion qx(std::cos(a / 2), std::sin(a / 2), 0, 0);
  const Quaternion qy(std::cos(b / 2), 0, std::sin(b / 2), 0);
  const Quaternion qz(std::cos(c / 2), 0, 0, std::sin(c / 2));
  ExpectSame(Quaternion(a, b, c), (qz * qy) * qx);
  // Its rotation matrix is Rz(c) Ry(b) Rx(a): x first, then y, then z
  // about the fixed axes.
  const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b),
               cc = std::cos(c), sc = std::sin(c);
  const double expected[3][3] = {{cc * cb, cc * sb * sa - sc * ca, cc * sb * ca + sc * sa},
                                 {sc * cb, sc * sb * sa + cc * ca, sc * sb * ca - cc * sa},
                                 {-sb, cb * sa, cb * ca}};
  const matrix<double> r = Quaternion(a, b, c).rotation_matrix();
  for (unsigned i = 0; i < 3; ++i) {
    for (unsigned j = 0; j < 3; ++j) EXPECT_NEAR(r(i, j), expected[i][j], 1e-15);
  }
}

// ---------------------------------------------------------------- products

TEST(QuaternionTest, UnitProducts) {
  const Quaternion one(1, 0, 0, 0), i(0, 1, 0, 0), j(0, 0, 1, 0), k(0, 0, 0, 1);
  ExpectQuaternion(i * j, 0, 0, 0, 1);
  ExpectQuaternion(j * i, 0, 0, 0, -1);
  ExpectQuaternion(j * k, 0, 1, 0, 0);
  ExpectQuaternion(k * i, 0, 0, 1, 0);
  ExpectQuaternion(i * i, -1, 0, 0, 0);
  ExpectQuaternion((i * j) * k, -1, 0, 0, 0);
  std::mt19937 gen(7);
  for (int n = 0; n < 20; ++n) {
    const Quaternion q = Random(&gen);
    ExpectSame(one * q, q);
    ExpectSame(q * one, q);
  }
}

TEST(QuaternionTest, ProductFollowsItsOperationOrder) {
  // scalar p.s*q.s - Dot(p.v, q.v); vector (p.s*q.v + q.s*p.v) + Cross.
  std::mt19937 gen(11);
  int reordered_differs = 0;
  for (int n = 0; n < 200; ++n) {
    const Quaternion p = Random(&gen), q = Random(&gen);
    const double ps = p.get_s(), qs = q.get_s();
    const dVector pv = p.get_v(), qv = q.get_v();
    const double c[3] = {pv[1] * qv[2] - pv[2] * qv[1], pv[2] * qv[0] - pv[0] * qv[2],
                         pv[0] * qv[1] - pv[1] * qv[0]};
    const Quaternion r = p * q;
    EXPECT_EQ(r.get_s(), ps * qs - (((0.0 + pv[0] * qv[0]) + pv[1] * qv[1]) + pv[2] * qv[2]));
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(r.get_v()[i], (ps * qv[i] + qs * pv[i]) + c[i]);
      if (r.get_v()[i] != ps * qv[i] + (qs * pv[i] + c[i])) ++reordered_differs;
    }
  }
  // The check has teeth: another grouping would differ somewhere.
  EXPECT_GT(reordered_differs, 0);
}

TEST(QuaternionTest, ScalarDivisionConjugateNormInverse) {
  ExpectQuaternion(Quaternion(2, -4, 6, 1) / 2.0, 1, -2, 3, 0.5);
  ExpectQuaternion(Quaternion(1, 1, 2, 3).conjugate(), 1, -1, -2, -3);
  const Quaternion c = Quaternion(1, 0, 0, 0).conjugate();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::signbit(c.get_v()[i])) << i;
  EXPECT_EQ(Quaternion(1, 2, 2, 4).norm(), 5.0);
  EXPECT_EQ(Quaternion(1, 1, 1, 1).norm(), 2.0);

  // Conjugate divided by the norm, not by its square: (1; -0, -0, -0).
  const Quaternion inv = Quaternion(2, 0, 0, 0).inverse();
  EXPECT_EQ(inv.get_s(), 1.0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(inv.get_v()[i], 0.0);
    EXPECT_TRUE(std::signbit(inv.get_v()[i])) << i;
  }
  // For a unit quaternion it is the true inverse.
  const Quaternion u(0.8, Vector3(1, -2, 0.5));
  const Quaternion e = u * u.inverse();
  EXPECT_NEAR(e.get_s(), 1.0, 1e-15);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(e.get_v()[i], 0.0, 1e-15);
}

TEST(QuaternionTest, RotationMatrix) {
  // The diagonal is (s*s + x*x)*2 - 1 even for a non-unit quaternion
  // (1 - 2(y*y + z*z) would give 1).
  const matrix<double> r2 = Quaternion(2, 0, 0, 0).rotation_matrix();
  EXPECT_EQ(r2(0, 0), 7.0);
  EXPECT_EQ(r2(1, 1), 7.0);
  EXPECT_EQ(r2(2, 2), 7.0);
  EXPECT_EQ(r2(0, 1), 0.0);

  const Quaternion q(0.5, 0.1, -0.3, 0.7);  // not unit: every entry as written
  const double s = 0.5, x = 0.1, y = -0.3, z = 0.7;
  const double expected[3][3] = {
      {(s * s + x * x) * 2 - 1, (x * y - s * z) * 2, (x * z + s * y) * 2},
      {(x * y + s * z) * 2, (s * s + y * y) * 2 - 1, (y * z - s * x) * 2},
      {(x * z - s * y) * 2, (y * z + s * x) * 2, (s * s + z * z) * 2 - 1}};
  const matrix<double> r = q.rotation_matrix();
  for (unsigned i = 0; i < 3; ++i) {
    for (unsigned j = 0; j < 3; ++j) EXPECT_EQ(r(i, j), expected[i][j]) << i << "," << j;
  }

  // For a unit quaternion R p is the vector part of q (0; p) q*.
  const Quaternion u(1.1, Vector3(0.2, 0.5, -1));
  const dVector p = Vector3(0.3, -0.8, 1.7);
  const dVector rotated = ((u * Quaternion(0, p[0], p[1], p[2])) * u.conjugate()).get_v();
  const matrix<double> ru = u.rotation_matrix();
  for (unsigned i = 0; i < 3; ++i) {
    EXPECT_NEAR(ru(i, 0) * p[0] + ru(i, 1) * p[1] + ru(i, 2) * p[2], rotated[i], 1e-15);
  }
  // A quarter turn about z carries x to y.
  const matrix<double> rz = Quaternion(kPi / 2, Vector3(0, 0, 1)).rotation_matrix();
  EXPECT_NEAR(rz(1, 0), 1.0, 1e-15);
  EXPECT_NEAR(rz(0, 0), 0.0, 1e-15);
}

// -------------------------------------------- members the filter never calls

TEST(QuaternionTest, UnusedMembers) {
  ExpectQuaternion(Quaternion(1, -2, 3, 0.5) * 2.0, 2, -4, 6, 1);
  ExpectQuaternion(Quaternion(1, 2, 3, 4) + Quaternion(0.5, -2, 1, 1), 1.5, 0, 4, 5);
  ExpectQuaternion(Quaternion(1, 2, 3, 4) - Quaternion(0.5, -2, 1, 1), 0.5, 4, 2, 3);
  const Quaternion p(0.3, 0.2, -0.1, 0.9), q(2, 0, 0, 0);
  ExpectSame(p / q, p * q.inverse());  // the norm, not its square: p unchanged
  ExpectQuaternion(p / q, 0.3, 0.2, -0.1, 0.9);

  EXPECT_EQ(Quaternion(1, 2, 3, 4).dot4(Quaternion(5, 6, 7, 8)), 70.0);
  // ((s*q.s + x*q.x) + y*q.y) + z*q.z: the 1 is lost in this order.
  EXPECT_EQ(Quaternion(1e16, 1, -1e16, 0).dot4(Quaternion(1, 1, 1, 1)), 0.0);

  Quaternion big(2, 0, 0, 0);
  EXPECT_EQ(&big.unit(), &big);
  ExpectQuaternion(big, 1, 0, 0, 0);
  Quaternion v(0, 3, 0, 4);
  v.unit();
  ExpectQuaternion(v, 0, 0.6, 0, 0.8);
  Quaternion tiny(1e-7, 0, 0, 0);  // norm exactly 1e-7: left as it is
  ASSERT_EQ(tiny.norm(), 1e-7);
  tiny.unit();
  ExpectQuaternion(tiny, 1e-7, 0, 0, 0);
  Quaternion tinier(0, 3e-8, 0, 4e-8);
  tinier.unit();
  ExpectQuaternion(tinier, 0, 3e-8, 0, 4e-8);
}

TEST(QuaternionTest, NoImplicitNormalisation) {
  const Quaternion p(2, 0, 0, 0);
  EXPECT_EQ((p * p).get_s(), 4.0);
  // A product of unit quaternions keeps a norm of 1 only up to rounding.
  std::mt19937 gen(3);
  Quaternion q;
  for (int n = 0; n < 1000; ++n) {
    Quaternion r = Random(&gen);
    r.unit();
    q = q * r;
  }
  EXPECT_NEAR(q.norm(), 1.0, 1e-12);
}

TEST(QuaternionDeathTest, AxisMustHaveThreeElements) {
  EXPECT_DEATH(Quaternion(0.5, dVector(2)),
               "Quaternion\\.cpp:[0-9]+.*Assertion `0 && \"Quaternion::Quaternion, size of axis "
               "!= 3\"' failed");
  EXPECT_DEATH(Quaternion(0.5, dVector(4)), "size of axis != 3");
}

TEST(QuaternionDeathTest, SetVNeedsThreeElements) {
  Quaternion q;
  EXPECT_DEATH(q.set_v(dVector(4)),
               "Quaternion\\.cpp:[0-9]+.*Assertion `0 && \"Quaternion::set_v: input has a wrong "
               "size\\.\"' failed");
  EXPECT_DEATH(q.set_v(dVector()), "Quaternion::set_v: input has a wrong size");
  ExpectQuaternion(q, 1, 0, 0, 0);
}

}  // namespace
