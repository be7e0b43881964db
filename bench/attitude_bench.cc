// Per-sample cost of the attitude filter: attitude_step + attitude_angles,
// as the detector's feature update calls them, over a synthetic motion of
// 1000 samples (still, a slow rotation about all three axes with a tilted
// gravity vector, and a free-fall stretch), replayed round and round. The
// step works on values held in place and allocates nothing; attitude_update
// adds the rotation matrix, a heap block, for callers that want it. The
// value types' operations, each returning a fresh heap vector, are measured
// below as building blocks.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "tumblix/attitude_lib/Include/MatrixAlgebra"
#include "tumblix/attitude_lib/Quaternion.h"
#include "tumblix/attitude_lib/attitude_filter.h"

namespace {

struct Sample {
  double gyro[3];
  double accl[3];
};

std::vector<Sample> MakeMotion() {
  std::vector<Sample> motion(1000);
  for (size_t i = 0; i < motion.size(); ++i) {
    const double t = static_cast<double>(i) * 0.02;
    Sample& s = motion[i];
    if (i < 200) {  // still, slightly tilted
      s = {{0.1, -0.2, 0.05}, {0.05, -0.3, -0.95}};
    } else if (i < 900) {  // slow turning with a moving gravity vector
      s = {{20.0 * std::sin(t), 15.0 * std::cos(t), 30.0},
           {0.3 * std::sin(t), 0.3 * std::cos(t), -0.9}};
    } else {  // free fall: the correction weight is practically zero
      s = {{5.0, 5.0, 5.0}, {0.0, 0.01, -0.02}};
    }
  }
  return motion;
}

void BM_AttitudeStepAndAngles(benchmark::State& state) {
  const std::vector<Sample> motion = MakeMotion();
  AttitudeFilter filter;
  attitude_init(&filter);
  size_t i = 0;
  int32_t roll = 0, pitch = 0, yaw = 0;
  for (auto _ : state) {
    const Sample& s = motion[i];
    attitude_step(&filter, s.gyro, s.accl, 0.02);
    attitude_angles(&filter, &roll, &pitch, &yaw);
    benchmark::DoNotOptimize(roll);
    benchmark::DoNotOptimize(pitch);
    benchmark::DoNotOptimize(yaw);
    if (++i == motion.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AttitudeStepAndAngles);

// The update with its returned rotation matrix.
void BM_AttitudeUpdate(benchmark::State& state) {
  const std::vector<Sample> motion = MakeMotion();
  const double magn[3] = {0.0, 0.0, 0.0};
  AttitudeFilter filter;
  attitude_init(&filter);
  size_t i = 0;
  for (auto _ : state) {
    const Sample& s = motion[i];
    matrix<double> r = attitude_update(&filter, s.gyro, s.accl, magn, 0.02);
    benchmark::DoNotOptimize(r);
    if (++i == motion.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AttitudeUpdate);

// The angle conversion alone.
void BM_AttitudeAngles(benchmark::State& state) {
  AttitudeFilter filter;
  attitude_init(&filter);
  const Quaternion q(0.3, -0.2, 1.1);
  filter.q = {q.get_s(), {q.v_ref()[0], q.v_ref()[1], q.v_ref()[2]}};
  int32_t roll = 0, pitch = 0, yaw = 0;
  for (auto _ : state) {
    attitude_angles(&filter, &roll, &pitch, &yaw);
    benchmark::DoNotOptimize(roll);
    benchmark::DoNotOptimize(pitch);
    benchmark::DoNotOptimize(yaw);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AttitudeAngles);

// Building blocks, for reading the per-sample figure.
void BM_QuaternionProduct(benchmark::State& state) {
  const Quaternion p(0.3, -0.2, 1.1);
  const Quaternion q(-0.7, 0.4, 0.25);
  for (auto _ : state) {
    Quaternion r = p * q;
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QuaternionProduct);

void BM_QuaternionThreeAngle(benchmark::State& state) {
  double a = 0.001;
  for (auto _ : state) {
    benchmark::DoNotOptimize(a);
    Quaternion r(a, -a, 2.0 * a);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QuaternionThreeAngle);

void BM_RotationMatrix(benchmark::State& state) {
  const Quaternion q(0.3, -0.2, 1.1);
  for (auto _ : state) {
    matrix<double> r = q.rotation_matrix();
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RotationMatrix);

}  // namespace
