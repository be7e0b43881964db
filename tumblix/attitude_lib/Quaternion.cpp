// Quaternion. The assertions stay active in every build
// type: a failed one ends the program, and the report names this file.
#undef NDEBUG
#include "tumblix/attitude_lib/Quaternion.h"

#include <cassert>
#include <cmath>
#include <type_traits>
#include <utility>

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

namespace {

// Vector part of the (angle, axis) quaternion: the product first, then the
// element-wise division by the axis length.
dVector AxisAnglePart(double angle, const dVector& axis) {
  if (axis.size() != 3) {
    assert(0 && "Quaternion::Quaternion, size of axis != 3");
  }
  return (std::sin(angle / 2.0) * axis) / Norm(axis);
}

}  // namespace

Quaternion::Quaternion(double angle, const dVector& axis)
    : s(std::cos(angle / 2.0)), v(AxisAnglePart(angle, axis)) {}

Quaternion::Quaternion(double a, double b, double c)
    : Quaternion((Quaternion(std::cos(c / 2.0), 0.0, 0.0, std::sin(c / 2.0)) *
                  Quaternion(std::cos(b / 2.0), 0.0, std::sin(b / 2.0), 0.0)) *
                 Quaternion(std::cos(a / 2.0), std::sin(a / 2.0), 0.0, 0.0)) {}

void Quaternion::set_v(const dVector& vector) {
  if (vector.size() != 3) {
    assert(0 && "Quaternion::set_v: input has a wrong size.");
    return;  // not reached while assertions are active; v stays unchanged
  }
  v = vector;
}

Quaternion Quaternion::operator*(const Quaternion& q) const {
  static_assert(std::is_same<decltype(s * q.v + q.s * v), dVector>::value,
                "dVector operators of MatrixAlgebra expected");
  const double scalar = s * q.s - Dot(v, q.v);
  return Quaternion(Parts(), scalar, (s * q.v + q.s * v) + Cross(v, q.v));
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

Quaternion Quaternion::conjugate() const { return Quaternion(Parts(), s, -1.0 * v); }

double Quaternion::norm() const { return std::sqrt(s * s + Dot(v, v)); }

Quaternion Quaternion::inverse() const { return conjugate() / norm(); }

matrix<double> Quaternion::rotation_matrix() const {
  const double x = v[0];
  const double y = v[1];
  const double z = v[2];
  matrix<double> r(3, 3);
  r(0, 0) = (s * s + x * x) * 2 - 1;
  r(0, 1) = (x * y - s * z) * 2;
  r(0, 2) = (x * z + s * y) * 2;
  r(1, 0) = (x * y + s * z) * 2;
  r(1, 1) = (s * s + y * y) * 2 - 1;
  r(1, 2) = (y * z - s * x) * 2;
  r(2, 0) = (x * z - s * y) * 2;
  r(2, 1) = (y * z + s * x) * 2;
  r(2, 2) = (s * s + z * z) * 2 - 1;
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
