#ifndef TOOLS_GEN_DATASET_ROTATION_H
#define TOOLS_GEN_DATASET_ROTATION_H

// Small double-precision vector and unit-quaternion helpers for the motion
// simulation. Kept apart from the detector's attitude library on purpose: the
// data that tests the detector must not share its arithmetic.

struct Vec3 {
  double x, y, z;
};

Vec3 operator+(Vec3 a, Vec3 b);
Vec3 operator-(Vec3 a, Vec3 b);
Vec3 operator*(double s, Vec3 a);
double Dot(Vec3 a, Vec3 b);
Vec3 Cross(Vec3 a, Vec3 b);
double Norm(Vec3 a);

// Unit quaternion w + xi + yj + zk; it rotates vectors of the frame it
// describes into the reference frame.
struct Quat {
  double w, x, y, z;
};

Quat operator*(Quat a, Quat b);
Quat Conjugate(Quat q);
Quat Normalized(Quat q);
Vec3 Rotate(Quat q, Vec3 v);           // q v q*
Vec3 RotateInverse(Quat q, Vec3 v);    // q* v q
Quat AxisAngle(Vec3 unit_axis, double angle_rad);
// Rotation by the rotation vector (axis times angle) and its inverse; the
// logarithm picks the shorter of the two equivalent quaternions.
Quat FromRotationVector(Vec3 v);
Vec3 ToRotationVector(Quat q);

// Roll, pitch and yaw (rotation about x, then y, then z of the reference
// frame, R = Rz(yaw) Ry(pitch) Rx(roll)) in radians.
struct EulerAngles {
  double roll, pitch, yaw;
};
EulerAngles ToEuler(Quat q);
Quat FromEuler(EulerAngles e);

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegPerRad = 180.0 / kPi;
constexpr double kRadPerDeg = kPi / 180.0;

#endif
