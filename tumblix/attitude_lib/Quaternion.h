// Quaternion: the attitude library's quaternion class.
//
// q = (s; x, y, z). A unit quaternion stands for the rotation that carries a
// sensor-frame vector p to q (0; p) q* in the reference frame. Everything is
// computed in IEEE double precision in a fixed operation order, by the
// formulas of quaternion_formulas.h (which the attitude filter shares) and
// the dVector operations of MatrixAlgebra; nothing normalises implicitly.
// Quaternions have value semantics (copy, move, assignment).
#ifndef TUMBLIX_ATTITUDE_LIB_QUATERNION_H
#define TUMBLIX_ATTITUDE_LIB_QUATERNION_H

#include "tumblix/attitude_lib/Include/MatrixAlgebra"

class Quaternion {
 public:
  // The identity (1; 0, 0, 0).
  Quaternion();
  // (s; x, y, z).
  Quaternion(double s, double x, double y, double z);
  // Rotation by angle (radians) about axis: s = cos(angle / 2),
  // v = (sin(angle / 2) * axis) / Norm(axis). The axis needs no unit length
  // but must have 3 elements (assertion); a zero axis gives NaN elements.
  Quaternion(double angle, const dVector& axis);
  // (Qz(c) Qy(b)) Qx(a): rotation about the fixed x axis by a, then the
  // fixed y axis by b, then the fixed z axis by c (radians).
  Quaternion(double a, double b, double c);

  double get_s() const { return s; }
  void set_s(double value) { s = value; }
  // A copy of the vector part.
  dVector get_v() const { return v; }
  // v becomes a copy of vector, which must have 3 elements (assertion).
  void set_v(const dVector& vector);
  // Read-only view of the vector part, for callers that only read the
  // components (no copy; not part of the class's public algebra).
  const dVector& v_ref() const { return v; }

  // Product p (x) q with p = *this: scalar p.s*q.s - Dot(p.v, q.v);
  // vector (p.s*q.v + q.s*p.v) + Cross(p.v, q.v).
  Quaternion operator*(const Quaternion& q) const;
  // (s * k; v * k).
  Quaternion operator*(double k) const;
  // (s / k; v / k).
  Quaternion operator/(double k) const;
  // p (x) inverse(q).
  Quaternion operator/(const Quaternion& q) const;
  // Component by component.
  Quaternion operator+(const Quaternion& q) const;
  Quaternion operator-(const Quaternion& q) const;

  // (s; -1.0 * v): zero elements become negative zeros.
  Quaternion conjugate() const;
  // sqrt(s*s + Dot(v, v)).
  double norm() const;
  // conjugate() / norm() -- divided by the norm, not its square, so it is
  // the true inverse only for a unit quaternion.
  Quaternion inverse() const;
  // 3 x 3 rotation matrix, diagonal as (s*s + x*x)*2 - 1 (no normalisation).
  matrix<double> rotation_matrix() const;
  // ((s*q.s + x*q.x) + y*q.y) + z*q.z.
  double dot4(const Quaternion& q) const;
  // Divides by the norm in place when the norm exceeds 1e-7; otherwise leaves
  // the quaternion as it is. Returns *this.
  Quaternion& unit();

 private:
  struct Parts {};
  // Takes the two parts as they are (v must have 3 elements).
  Quaternion(Parts, double s_part, dVector&& v_part);

  double s;
  dVector v;
};

#endif
