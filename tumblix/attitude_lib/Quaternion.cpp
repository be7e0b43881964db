// Quaternion. The assertions stay active in every build
// type: a failed one ends the program, and the report names this file.
#undef NDEBUG
#include "tumblix/attitude_lib/Quaternion.h"

#include <cassert>
#include <cmath>
#include <type_traits>
#include <utility>

#include "tumblix/attitude_lib/quaternion_formulas.h"

// The dVector operators of MatrixAlgebra, not std::valarray's expression
// templates, are the ones chosen here (also inside the members below, where
// Quaternion's own operators of the same names are declared).
static_assert(
    std::is_same<decltype(std::declval<double>() * std::declval<const dVector&>()), dVector>::value,
    "k * v must be the library's operator");

Quaternion::Quaternion() : s(1.0), v(Vector3(0.0, 0.0, 0.0)) {}

Quaternion::Quaternion(double s_part, double x, double y, double z)
    : s(s_part), v(Vector3(x, y, z)) {}

Quaternion::Quaternion(Parts, double s_part, dVector&& v_part) : s(s_part), v(std::move(v_part)) {}

Quaternion::Quaternion(double angle, const dVector& axis) : s(0.0), v(3) {
  if (axis.size() != 3) {
    assert(0 && "Quaternion::Quaternion, size of axis != 3");
  }
  s = AxisAngleQuaternion(angle, axis, v);
}

Quaternion::Quaternion(double a, double b, double c) : s(0.0), v(3) {
  const QuaternionValue q = ThreeAngleQuaternion(a, b, c);
  s = q.s;
  for (int i = 0; i < 3; ++i) v[i] = q.v[i];
}

void Quaternion::set_v(const dVector& vector) {
  if (vector.size() != 3) {
    assert(0 && "Quaternion::set_v: input has a wrong size.");
    return;  // not reached while assertions are active; v stays unchanged
  }
  v = vector;
}

Quaternion Quaternion::operator*(const Quaternion& q) const {
  dVector product(3);
  const double scalar = QuaternionProduct(s, v, q.s, q.v, product);
  return Quaternion(Parts(), scalar, std::move(product));
}

Quaternion Quaternion::operator*(double k) const { return Quaternion(Parts(), s * k, v * k); }

Quaternion Quaternion::operator/(double k) const { return Quaternion(Parts(), s / k, v / k); }

Quaternion Quaternion::operator/(const Quaternion& q) const { return *this * q.inverse(); }

Quaternion Quaternion::operator+(const Quaternion& q) const {
  return Quaternion(Parts(), s + q.s, v + q.v);
}

Quaternion Quaternion::operator-(const Quaternion& q) const {
  return Quaternion(Parts(), s - q.s, v - q.v);
}

Quaternion Quaternion::conjugate() const {
  dVector part(3);
  ConjugatePart(v, part);
  return Quaternion(Parts(), s, std::move(part));
}

double Quaternion::norm() const { return QuaternionNorm(s, v); }

Quaternion Quaternion::inverse() const {
  dVector part(3);
  const double scalar = QuaternionInverse(s, v, part);
  return Quaternion(Parts(), scalar, std::move(part));
}

matrix<double> Quaternion::rotation_matrix() const {
  double m[9];
  RotationMatrixElements(s, v, m);
  matrix<double> r(3, 3);
  for (unsigned row = 0; row < 3; ++row) {
    for (unsigned col = 0; col < 3; ++col) r(row, col) = m[row * 3 + col];
  }
  return r;
}

double Quaternion::dot4(const Quaternion& q) const {
  return ((s * q.s + v[0] * q.v[0]) + v[1] * q.v[1]) + v[2] * q.v[2];
}

Quaternion& Quaternion::unit() {
  const double n = norm();
  if (n > 1e-7) {
    s = s / n;
    v = v / n;
  }
  return *this;
}
