#include "tumblix/vertical_velocity.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

ConvertedSample Acc(float x, float y, float z) { return ConvertedSample{x, y, z, 0, 0, 0}; }

std::vector<float> Estimates(const std::vector<ConvertedSample>& samples) {
  VerticalVelocityEstimator state;
  vv_init(&state);
  std::vector<float> out;
  for (const ConvertedSample& s : samples) out.push_back(vv_update(&state, &s));
  return out;
}

TEST(VerticalVelocityTest, InitInPlaceAndOnTheHeap) {
  VerticalVelocityEstimator local;
  EXPECT_EQ(vv_init(&local), &local);
  EXPECT_EQ(local.count, 0);
  EXPECT_EQ(local.dt, 0.02f);
  VerticalVelocityEstimator* heap = vv_init(nullptr);
  ASSERT_NE(heap, nullptr);
  EXPECT_EQ(heap->vel, 0.0f);
  vv_free(heap);
  vv_free(nullptr);
}

TEST(VerticalVelocityTest, FreeFallFromTheFirstSampleClimbsInPairs) {
  const std::vector<float> v = Estimates(std::vector<ConvertedSample>(26, Acc(0, 0, 0)));
  for (int call = 1; call <= 17; ++call) EXPECT_EQ(v[call - 1], 0.0f) << call;
  EXPECT_FLOAT_EQ(v[17], 3.8416f);
  EXPECT_EQ(v[17], v[18]);
  EXPECT_FLOAT_EQ(v[19], 7.6832f);
  EXPECT_EQ(v[19], v[20]);
  EXPECT_FLOAT_EQ(v[21], 11.5248f);
  EXPECT_EQ(v[21], v[22]);
  EXPECT_FLOAT_EQ(v[23], 15.3664f);
  EXPECT_EQ(v[23], v[24]);
  EXPECT_FLOAT_EQ(v[25], 19.208f);
}

TEST(VerticalVelocityTest, RestStaysAtZero) {
  const std::vector<float> v = Estimates(std::vector<ConvertedSample>(200, Acc(0, -1, 0)));
  for (float value : v) EXPECT_EQ(value, 0.0f);
}

TEST(VerticalVelocityTest, DropThenRecoveryIntegratesThenDecays) {
  std::vector<ConvertedSample> input(20, Acc(0, 0, 1));
  input.insert(input.end(), 10, Acc(0, 0, 0));
  input.insert(input.end(), 20, Acc(0, 0, 1));
  const std::vector<float> v = Estimates(input);
  for (int n = 1; n <= 22; ++n) EXPECT_EQ(v[n - 1], 0.0f) << n;
  EXPECT_FLOAT_EQ(v[22], 3.8416f);
  EXPECT_FLOAT_EQ(v[23], 3.8416f);
  EXPECT_FLOAT_EQ(v[24], 7.6832f);
  EXPECT_FLOAT_EQ(v[28], 15.3664f);
  EXPECT_FLOAT_EQ(v[29], 15.3664f);
  EXPECT_NEAR(v[30], 18.5677f, 1e-4);
  EXPECT_NEAR(v[31], 16.0067f, 1e-4);
  EXPECT_NEAR(v[32], 14.406f, 1e-3);
  EXPECT_NEAR(v[33], 12.9654f, 1e-3);
  EXPECT_NEAR(v[34], 11.6689f, 1e-3);
  for (int n = 34; n < 50; ++n) EXPECT_EQ(v[n], v[n - 1] * 0.9f) << n;
}

TEST(VerticalVelocityTest, GateIsStrictlyAboveTheThreshold) {
  VerticalVelocityEstimator state;
  vv_init(&state);
  state.count = 100;
  state.vel = 5.0f;
  state.vel_prev = 1.0f;
  state.dev = 3.0f;
  state.dev_prev = 0.24f;
  const ConvertedSample rest = Acc(0, 0, 1);
  EXPECT_EQ(vv_update(&state, &rest), 5.0f * 0.9f);

  state.dev_prev = 0.2400001f;
  state.vel_prev = 1.0f;
  // Integrates on top of the estimate two samples back instead of decaying
  // the latest one (4.5 * 0.9).
  EXPECT_NEAR(vv_update(&state, &rest), 1.0 + 0.24 * 9.8 * 0.02 / 3.0, 1e-5);
}

TEST(VerticalVelocityTest, HeavierThanGravityShrinksTheEstimateWhileIntegrating) {
  // Free fall, then a hard landing at 3 g: the deviation turns negative but
  // still enters the sum while the deviation two samples back is positive.
  std::vector<ConvertedSample> input(24, Acc(0, 0, 0));
  input.push_back(Acc(0, 0, 3));
  input.push_back(Acc(0, 0, 3));
  input.push_back(Acc(0, 0, 3));
  const std::vector<float> v = Estimates(input);
  EXPECT_LT(v[25], v[23]);
  EXPECT_LT(v[26], v[24]);
}

}  // namespace
