// The quaternion formulas of the attitude library, each written once, in
// IEEE double precision and in the operation order that defines its bits.
//
// Each takes the scalar part as a double and the vector part as anything
// indexable with [] (a dVector, an array of three doubles). Quaternion's
// constructors and operators apply them to their dVector parts; the attitude
// filter applies them to a QuaternionValue held in place, so that its update
// allocates nothing and still gives the very bits of the value types.
#ifndef TUMBLIX_ATTITUDE_LIB_QUATERNION_FORMULAS_H
#define TUMBLIX_ATTITUDE_LIB_QUATERNION_FORMULAS_H

#include <cmath>

#include "tumblix/attitude_lib/Include/MatrixAlgebra"

// A quaternion (s; v[0], v[1], v[2]) as a plain record: no heap, copied by
// assignment, zero bytes are a valid (zero) value.
struct QuaternionValue {
  double s;
  double v[3];
};

// p (x) q, p on the left: scalar p.s*q.s - Dot(p.v, q.v); vector
// (p.s*q.v + q.s*p.v) + Cross(p.v, q.v), the two scaled vectors added first.
// Writes the vector part to rv, returns the scalar part. rv may be pv or qv:
// element i is written only after everything that reads element i.
template <class P, class Q, class R>
inline double QuaternionProduct(double ps, const P& pv, double qs, const Q& qv, R& rv) {
  const double scalar = ps * qs - InnerProduct(pv, qv, 3);
  double cross[3];
  CrossProduct(pv, qv, cross);
  for (int i = 0; i < 3; ++i) rv[i] = (ps * qv[i] + qs * pv[i]) + cross[i];
  return scalar;
}

// Vector part of the conjugate: each element times -1.0 (zeros become
// negative zeros; a NaN keeps its sign, which a negation would flip).
template <class V, class R>
inline void ConjugatePart(const V& v, R& rv) {
  for (int i = 0; i < 3; ++i) rv[i] = -1.0 * v[i];
}

// sqrt(s*s + Dot(v, v)).
template <class V>
inline double QuaternionNorm(double s, const V& v) {
  return std::sqrt(s * s + InnerProduct(v, v, 3));
}

// conjugate / norm: (s / n; (-1.0 * v) / n) with n the norm of (s; v), not
// its square, so only a unit quaternion gets its true inverse.
template <class V, class R>
inline double QuaternionInverse(double s, const V& v, R& rv) {
  const double n = QuaternionNorm(s, v);
  ConjugatePart(v, rv);
  for (int i = 0; i < 3; ++i) rv[i] = rv[i] / n;
  return s / n;
}

// Rotation by angle (radians) about a three-element axis of any length:
// s = cos(angle / 2), v = (sin(angle / 2) * axis) / Norm(axis), the product
// first, then the division (a zero axis gives NaN elements).
template <class A, class R>
inline double AxisAngleQuaternion(double angle, const A& axis, R& rv) {
  const double half_sine = std::sin(angle / 2.0);
  const double length = EuclideanNorm(axis, 3);
  for (int i = 0; i < 3; ++i) rv[i] = (half_sine * axis[i]) / length;
  return std::cos(angle / 2.0);
}

inline QuaternionValue Multiply(const QuaternionValue& p, const QuaternionValue& q) {
  QuaternionValue r;
  r.s = QuaternionProduct(p.s, p.v, q.s, q.v, r.v);
  return r;
}

// (Qz(c) (x) Qy(b)) (x) Qx(a) with Qx(a) = (cos(a/2); sin(a/2), 0, 0) and so
// on: about the fixed x axis by a, then y by b, then z by c. The products run
// in full, zeros included, as for any other quaternions.
inline QuaternionValue ThreeAngleQuaternion(double a, double b, double c) {
  const QuaternionValue qz = {std::cos(c / 2.0), {0.0, 0.0, std::sin(c / 2.0)}};
  const QuaternionValue qy = {std::cos(b / 2.0), {0.0, std::sin(b / 2.0), 0.0}};
  const QuaternionValue qx = {std::cos(a / 2.0), {std::sin(a / 2.0), 0.0, 0.0}};
  return Multiply(Multiply(qz, qy), qx);
}

// Row-major 3 x 3 rotation matrix of (s; x, y, z), diagonal as
// (s*s + x*x)*2 - 1 (no normalisation first).
template <class V>
inline void RotationMatrixElements(double s, const V& v, double m[9]) {
  const double x = v[0];
  const double y = v[1];
  const double z = v[2];
  m[0] = (s * s + x * x) * 2 - 1;
  m[1] = (x * y - s * z) * 2;
  m[2] = (x * z + s * y) * 2;
  m[3] = (x * y + s * z) * 2;
  m[4] = (s * s + y * y) * 2 - 1;
  m[5] = (y * z - s * x) * 2;
  m[6] = (x * z - s * y) * 2;
  m[7] = (y * z + s * x) * 2;
  m[8] = (s * s + z * z) * 2 - 1;
}

#endif
