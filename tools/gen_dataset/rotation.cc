#include "tools/gen_dataset/rotation.h"

#include <algorithm>
#include <cmath>

Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator*(double s, Vec3 a) { return {s * a.x, s * a.y, s * a.z}; }
double Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 Cross(Vec3 a, Vec3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double Norm(Vec3 a) { return std::sqrt(Dot(a, a)); }

Quat operator*(Quat a, Quat b) {
  return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
          a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
          a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
          a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

Quat Conjugate(Quat q) { return {q.w, -q.x, -q.y, -q.z}; }

Quat Normalized(Quat q) {
  const double n = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
  return {q.w / n, q.x / n, q.y / n, q.z / n};
}

Vec3 Rotate(Quat q, Vec3 v) {
  const Quat p = q * Quat{0.0, v.x, v.y, v.z} * Conjugate(q);
  return {p.x, p.y, p.z};
}

Vec3 RotateInverse(Quat q, Vec3 v) { return Rotate(Conjugate(q), v); }

Quat AxisAngle(Vec3 unit_axis, double angle_rad) {
  const double s = std::sin(0.5 * angle_rad);
  return {std::cos(0.5 * angle_rad), s * unit_axis.x, s * unit_axis.y, s * unit_axis.z};
}

Quat FromRotationVector(Vec3 v) {
  const double angle = Norm(v);
  if (angle < 1e-12) return Normalized({1.0, 0.5 * v.x, 0.5 * v.y, 0.5 * v.z});
  return AxisAngle((1.0 / angle) * v, angle);
}

Vec3 ToRotationVector(Quat q) {
  if (q.w < 0.0) q = {-q.w, -q.x, -q.y, -q.z};
  const Vec3 axis{q.x, q.y, q.z};
  const double s = Norm(axis);
  if (s < 1e-12) return 2.0 * axis;
  const double angle = 2.0 * std::atan2(s, q.w);
  return (angle / s) * axis;
}

EulerAngles ToEuler(Quat q) {
  // Rotation matrix entries R[2][0], R[2][1], R[2][2], R[1][0], R[0][0].
  const double r20 = 2.0 * (q.x * q.z - q.w * q.y);
  const double r21 = 2.0 * (q.y * q.z + q.w * q.x);
  const double r22 = 1.0 - 2.0 * (q.x * q.x + q.y * q.y);
  const double r10 = 2.0 * (q.x * q.y + q.w * q.z);
  const double r00 = 1.0 - 2.0 * (q.y * q.y + q.z * q.z);
  return {std::atan2(r21, r22), -std::asin(std::clamp(r20, -1.0, 1.0)), std::atan2(r10, r00)};
}

Quat FromEuler(EulerAngles e) {
  return AxisAngle({0, 0, 1}, e.yaw) * AxisAngle({0, 1, 0}, e.pitch) * AxisAngle({1, 0, 0}, e.roll);
}
