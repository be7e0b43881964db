#include "tumblix/tumblix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tumblix/display_name.h"

namespace {

RawSample Sample(int ax, int ay, int az, int gx = 0, int gy = 0, int gz = 0) {
  return RawSample{static_cast<int16_t>(ax), static_cast<int16_t>(ay), static_cast<int16_t>(az),
                   static_cast<int16_t>(gx), static_cast<int16_t>(gy), static_cast<int16_t>(gz)};
}

class DetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tumblix_set_display_name("S01T06R01.csv");
    TumblixConfig cfg;
    tumblix_default_config(&cfg);
    ASSERT_EQ(tumblix_create(det_.get(), &cfg), det_.get());
  }
  void TearDown() override { tumblix_destroy(det_.get()); }

  // Feeds one sample and returns what the step printed.
  std::string Step(const RawSample& s, int* mode = nullptr) {
    testing::internal::CaptureStdout();
    const int m = tumblix_process(det_.get(), &s);
    if (mode != nullptr) *mode = m;
    return testing::internal::GetCapturedStdout();
  }

  bool WindowOpen() const {
    return det_->sample_count < det_->window_end && det_->sample_count >= 25;
  }

  std::unique_ptr<TumblixDetector> det_ = std::make_unique<TumblixDetector>();
};

TEST_F(DetectorTest, CreateSetsTheStartingState) {
  EXPECT_EQ(det_->sample_count, 0);
  EXPECT_EQ(det_->detect_count, 0);
  EXPECT_EQ(det_->window_end, 0);
  EXPECT_EQ(det_->x1_frame, -1);
  EXPECT_EQ(det_->x2_frame, 0);
  EXPECT_EQ(det_->mode2_run, 0);
  EXPECT_EQ(det_->mode7_run, 0);
  EXPECT_STREQ(tumblix_version(), "Tumblix-0.0.1");
}

TEST_F(DetectorTest, MagnitudesOfSingleSamples) {
  Step(Sample(0, 0, 8192));
  EXPECT_EQ(det_->features.raw_acc, 100);
  Step(Sample(0, 0, 7372));
  EXPECT_EQ(det_->features.raw_acc, 89);
  Step(Sample(0, 0, 7373));
  EXPECT_EQ(det_->features.raw_acc, 90);
  Step(Sample(0, 0, 0));
  EXPECT_EQ(det_->features.raw_acc, 0);
  Step(Sample(0, 0, 8192, 32767));
  EXPECT_EQ(det_->features.raw_gyro, 499);
  Step(Sample(0, 0, 8192, 6554));
  EXPECT_EQ(det_->features.raw_gyro, 100);
  Step(Sample(0, 0, 8192, 0, 6553));
  EXPECT_EQ(det_->features.raw_gyro, 99);
  Step(Sample(-32768, -32768, -32768, -32768, -32768, -32768));
  EXPECT_EQ(det_->features.raw_acc, 692);
  EXPECT_EQ(det_->features.raw_gyro, 866);
}

TEST_F(DetectorTest, FilterSettlesTowardAConstantInput) {
  const int expected_lpf[5] = {23, 60, 79, 89, 94};
  for (int i = 0; i < 5; ++i) {
    Step(Sample(8192, 0, 0));
    EXPECT_EQ(det_->features.raw_acc, 100);
    EXPECT_EQ(det_->features.lpf_acc, expected_lpf[i]) << "sample " << i + 1;
  }
  EXPECT_NEAR(det_->features.acc_lpf.out[0], 0.9435f, 1e-4);
  EXPECT_NEAR(det_->features.acc_lpf.b0, 0.238965f, 1e-6);
  EXPECT_NEAR(det_->features.acc_lpf.a1, -0.522070f, 1e-6);
}

TEST_F(DetectorTest, NoWindowBeforeSample25WhateverTheInput) {
  for (int n = 1; n <= 24; ++n) {
    int mode = -1;
    EXPECT_EQ(Step(Sample(0, 0, 0, 30000, 30000, 30000), &mode), "") << n;
    EXPECT_EQ(mode, 0);
  }
  EXPECT_EQ(det_->window_end, 24 + 25);
  EXPECT_NE(Step(Sample(0, 0, 0)), "");  // sample 25 is evaluated
}

TEST_F(DetectorTest, EarlyLowSampleOpensSamples25To34) {
  for (int n = 1; n <= 40; ++n) {
    const std::string out = Step(n == 10 ? Sample(0, 0, 4000) : Sample(0, 0, 8192));
    if (n == 10) {
      EXPECT_EQ(det_->window_end, 35);
    }
    const bool open = n >= 25 && n <= 34;
    EXPECT_EQ(WindowOpen(), open) << n;
    EXPECT_EQ(!out.empty(), open) << n;
  }
}

TEST_F(DetectorTest, GateBoundaryAndWindowLength) {
  for (int n = 1; n <= 30; ++n) Step(Sample(0, 0, 8192));
  Step(Sample(0, 0, 7500));  // raw_acc 91: no window
  EXPECT_EQ(det_->features.raw_acc, 91);
  EXPECT_FALSE(WindowOpen());
  Step(Sample(0, 0, 7373));  // sample 32, raw_acc 90
  EXPECT_EQ(det_->window_end, 57);
  for (int n = 33; n <= 60; ++n) {
    const std::string out = Step(Sample(0, 0, 8192));
    EXPECT_EQ(!out.empty(), n <= 56) << n;
  }
}

TEST_F(DetectorTest, DiagnosticLineShowsTheDisplayNameAndFeatures) {
  for (int n = 1; n <= 24; ++n) Step(Sample(0, 0, 8192));
  const std::string out = Step(Sample(0, 0, 0));
  EXPECT_EQ(out.rfind("S01T06R01.csv  DETECT-1[0025] : Acc ", 0), 0u) << out;
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(out.find('\n'), out.size() - 1);
}

TEST_F(DetectorTest, ClassifierIsFedOnEverySample) {
  for (int n = 1; n <= 7; ++n) Step(Sample(0, 0, 8192));
  EXPECT_EQ(det_->classifier.window_pos, 7);
  EXPECT_EQ(det_->classifier.window[6][2], 500.0f);
}

TEST(DisplayNameTest, KeepsAtMost13Characters) {
  tumblix_set_display_name("S06T20R01.csv");
  EXPECT_STREQ(tumblix_display_name(), "S06T20R01.csv");
  tumblix_set_display_name("S06T20R101.csv");
  EXPECT_STREQ(tumblix_display_name(), "S06T20R101.cs");
  tumblix_set_display_name("");
  EXPECT_STREQ(tumblix_display_name(), "");
}

}  // namespace
