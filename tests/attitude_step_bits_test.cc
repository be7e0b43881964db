// The attitude filter's step works on quaternions held in place; it must give
// exactly the bits of the same step written with the library's value types
// (Quaternion, dVector), on random and hostile inputs and on the filtered
// samples that the detector hands it for real KFall recordings.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "harness/sample_stream.h"
#include "harness/trace_file.h"
#include "tests/test_support.h"
#include "tumblix/attitude_lib/Include/MatrixAlgebra"
#include "tumblix/attitude_lib/Quaternion.h"
#include "tumblix/attitude_lib/attitude_filter.h"
#include "tumblix/tumblix.h"

namespace fs = std::filesystem;

namespace {

bool Finite(const Quaternion& q) {
  const dVector& v = q.v_ref();
  return std::isfinite(q.get_s()) && std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// The step in the value types' own operations, guards included.
void ValueTypeStep(AttitudeFilter* state, const double gyro[3], const double accl[3], double dt) {
  for (int i = 0; i < 3; ++i) {
    if (!std::isfinite(gyro[i]) || !std::isfinite(accl[i])) return;
  }
  if (!std::isfinite(dt)) return;
  gyro_bias_update(state, state->gyro_bias, gyro, 10000, 10.0);
  const double* b = state->gyro_bias;
  const Quaternion dq(((gyro[0] - b[0]) * 0.017453292519943295) * dt,
                      ((gyro[1] - b[1]) * 0.017453292519943295) * dt,
                      ((gyro[2] - b[2]) * 0.017453292519943295) * dt);
  const Quaternion q(state->q.s, state->q.v[0], state->q.v[1], state->q.v[2]);
  Quaternion propagated = q * dq;
  if (!Finite(propagated)) propagated = q;
  const dVector g0 = Vector3(0.0, 0.0, -1.0);
  const Quaternion qa(0.0, accl[0], accl[1], accl[2]);
  const dVector a_ref = ((propagated * qa) * propagated.inverse()).get_v();
  const dVector ng = Cross(a_ref, g0);
  if (Norm(ng) != 0.0) {
    const double theta = std::asin(Norm(ng) / Norm(a_ref));
    const double m = std::sqrt((accl[0] * accl[0] + accl[1] * accl[1]) + accl[2] * accl[2]);
    const double e = m - 1.0;
    const double w = std::exp((-e * e) / (0.1 * 0.1)) * 0.1;
    const Quaternion corrected = Quaternion(w * theta, ng) * propagated;
    if (Finite(corrected)) propagated = corrected;
  }
  const dVector v = propagated.get_v();
  state->q = {propagated.get_s(), {v[0], v[1], v[2]}};
}

::testing::AssertionResult SameBits(const AttitudeFilter& a, const AttitudeFilter& b) {
  if (std::memcmp(&a.q, &b.q, sizeof(a.q)) == 0 && std::memcmp(a.gyro_bias, b.gyro_bias, sizeof(a.gyro_bias)) == 0 &&
      a.bias_count == b.bias_count) {
    return ::testing::AssertionSuccess();
  }
  char text[256];
  std::snprintf(text, sizeof(text), "(%.17g; %.17g, %.17g, %.17g) vs (%.17g; %.17g, %.17g, %.17g)", a.q.s,
                a.q.v[0], a.q.v[1], a.q.v[2], b.q.s, b.q.v[0], b.q.v[1], b.q.v[2]);
  return ::testing::AssertionFailure() << text;
}

TEST(AttitudeStepBits, RandomAndHostileInputsGiveTheValueTypesBits) {
  std::mt19937_64 random(16);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const double kSpecial[] = {0.0,    -0.0, 1.0, -1.0, 1e-200, -1e300, 1e300, std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::denorm_min()};
  auto value = [&](double scale) {
    if (random() % 64 == 0) return kSpecial[random() % (sizeof(kSpecial) / sizeof(kSpecial[0]))];
    return unit(random) * scale;
  };
  AttitudeFilter fast;
  attitude_init(&fast);
  AttitudeFilter reference = fast;
  for (int n = 0; n < 1000000; ++n) {
    if (n % 997 == 0) {
      // A fresh state: any quaternion (not of unit norm), any bias history.
      fast.q = {unit(random), {unit(random), unit(random), unit(random)}};
      fast.bias_count = static_cast<int32_t>(random() % 10002);
      for (double& b : fast.gyro_bias) b = unit(random) * 50.0;
      reference = fast;
    }
    const double gyro[3] = {value(600.0), value(600.0), value(600.0)};
    const double accl[3] = {value(4.0), value(4.0), value(4.0)};
    const double dt = random() % 1000 == 0 ? value(1.0) : 0.02;
    attitude_step(&fast, gyro, accl, dt);
    ValueTypeStep(&reference, gyro, accl, dt);
    ASSERT_TRUE(SameBits(fast, reference)) << "step " << n;
  }
}

// Every sample of the real recordings, through the detector: after each step
// the detector's filter must equal the value-type step fed with what the
// detector fed it (the low-pass filtered rate and acceleration, widened).
TEST(AttitudeStepBits, RealKFallSamplesThroughTheDetector) {
  const fs::path store = fs::path(TUMBLEBENCH_SOURCE_DIR) / ".." / "shared" / "kfall";
  const fs::path archive = store / "sensor_data" / "SA06.tar.xz";
  if (!fs::exists(archive)) GTEST_SKIP() << "no real KFall recordings at " << store << "; skipped";
  test_support::TempDir root;
  int status = -1;
  test_support::RunCommand("bash '" + (store / "unpack.sh").string() + "' '" + root.path().string() +
                               "' SA06 >/dev/null 2>&1",
                           &status);
  ASSERT_EQ(status, 0) << "could not unpack " << archive;

  TumblixConfig cfg;
  tumblix_default_config(&cfg);
  auto detector = std::make_unique<TumblixDetector>();
  long samples = 0;
  testing::internal::CaptureStdout();  // the rules' console lines
  for (const auto& entry : fs::directory_iterator(root.path() / "sensor_data" / "SA06")) {
    FILE* file = std::fopen(entry.path().c_str(), "r");
    ASSERT_NE(file, nullptr) << entry.path();
    ASSERT_EQ(tumblix_create(detector.get(), &cfg), detector.get());
    AttitudeFilter reference = detector->features.attitude;
    char line[kRecordingLineBufferSize];
    RawSample sample = {0, 0, 0, 0, 0, 0};
    bool same = true;
    ForEachRecordedSample(file, RecordingFormat::kKFall, line, sizeof(line), &sample, [&](const RawSample& s) {
      if (!same) return;
      tumblix_process(detector.get(), &s);
      const MotionFeatures& f = detector->features;
      const double gyro[3] = {f.gyro_lpf.out[0], f.gyro_lpf.out[1], f.gyro_lpf.out[2]};
      const double accl[3] = {f.acc_lpf.out[0], f.acc_lpf.out[1], f.acc_lpf.out[2]};
      ValueTypeStep(&reference, gyro, accl, 0.02);
      const ::testing::AssertionResult result = SameBits(f.attitude, reference);
      EXPECT_TRUE(result) << entry.path().filename() << ", sample " << detector->sample_count;
      same = static_cast<bool>(result);
      ++samples;
    });
    std::fclose(file);
    tumblix_destroy(detector.get());
    if (!same) break;
  }
  testing::internal::GetCapturedStdout();
  EXPECT_GT(samples, 50000);
}

}  // namespace
