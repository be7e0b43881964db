#include "tumblix/decision_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tumblix/display_name.h"
#include "tumblix/tumblix.h"

namespace {

struct Features {
  int acc = 100;
  int gyro = 0;
  float vv = 0.0f;
  int roll = 0;
  int pitch = 0;
};

class DecisionRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(det_.get(), 0, sizeof(TumblixDetector));
    tumblix_default_rules(&det_->config.rules);
    det_->x1_frame = -1;
    tumblix_set_display_name("S01T20R01.csv");
  }

  // Evaluates the rules on sample n with the given features and down
  // probability; returns the mode and keeps the console line.
  int Eval(int n, const Features& f, float p) {
    det_->sample_count = n;
    det_->features.lpf_acc = f.acc;
    det_->features.lpf_gyro = f.gyro;
    det_->features.vv = f.vv;
    det_->features.roll = f.roll;
    det_->features.pitch = f.pitch;
    testing::internal::CaptureStdout();
    const int mode = tumblix_apply_rules(det_.get(), p);
    line_ = testing::internal::GetCapturedStdout();
    return mode;
  }

  // The part of the line after the fixed diagnostic text.
  std::string Tail() const { return line_.substr(line_.find(", TF ") + 10); }

  std::unique_ptr<TumblixDetector> det_ = std::make_unique<TumblixDetector>();
  std::string line_;
};

const Features kX1Trigger{79, 91, 6.6f, 0, 0};
const Features kQuiet{100, 0, 0.0f, 0, 0};

TEST_F(DecisionRulesTest, DiagnosticLineFormat) {
  EXPECT_EQ(Eval(42, Features{72, 10, 9.5f, -5, -88}, 0.75f), 0);
  EXPECT_EQ(line_,
            "S01T20R01.csv  DETECT-1[0042] : Acc  72, Gyro   10, Vel_V  9.50, Roll  -5, Pitch "
            "-88, TF  0.75\n");
}

TEST_F(DecisionRulesTest, X1WindowCoversTheTriggerAndEightSamplesAfter) {
  Eval(30, kX1Trigger, 0.0f);
  EXPECT_EQ(Tail(), " X1\n");
  EXPECT_EQ(det_->x1_frame, 30);
  for (int n = 31; n <= 38; ++n) {
    Eval(n, kQuiet, 0.0f);
    EXPECT_EQ(Tail(), " X1\n") << n;
  }
  Eval(39, kQuiet, 0.0f);
  EXPECT_EQ(Tail(), "\n");
  Eval(40, kX1Trigger, 0.0f);  // a new trigger moves the window on
  Eval(48, kQuiet, 0.0f);
  EXPECT_EQ(Tail(), " X1\n");
}

TEST_F(DecisionRulesTest, X1TriggerThresholdsAreStrict) {
  Eval(30, Features{79, 91, 6.5f, 0, 0}, 0.0f);
  EXPECT_EQ(det_->x1_frame, -1);
  Eval(30, Features{80, 91, 7.0f, 0, 0}, 0.0f);
  EXPECT_EQ(det_->x1_frame, -1);
  Eval(30, Features{79, 90, 7.0f, 0, 0}, 0.0f);
  EXPECT_EQ(det_->x1_frame, -1);
}

TEST_F(DecisionRulesTest, Mode6FiresInTheX1WindowWhateverTheProbability) {
  EXPECT_EQ(Eval(30, Features{79, 91, 21.4f, 0, 0}, 0.0f), 6);
  EXPECT_EQ(Tail(), " X1 -> Mode6(0)\n");
  EXPECT_EQ(Eval(31, Features{100, 0, 21.3f, 0, 0}, 0.0f), 0);  // 21.3 itself does not
}

TEST_F(DecisionRulesTest, Mode1AttitudeAndProbabilityBoundaries) {
  Eval(30, kX1Trigger, 0.0f);
  const float p = 0.67f;
  EXPECT_EQ(Eval(31, Features{100, 0, 0, 20, 0}, p), 0);
  EXPECT_EQ(Eval(31, Features{100, 0, 0, -20, 0}, p), 0);
  EXPECT_EQ(Eval(31, Features{100, 0, 0, 21, 0}, p), 1);
  EXPECT_EQ(Tail(), " X1 -> Mode1(0)\n");
  EXPECT_EQ(Eval(31, Features{100, 0, 0, -21, 0}, p), 1);
  EXPECT_EQ(Eval(31, Features{100, 0, 0, 0, -60}, p), 0);
  EXPECT_EQ(Eval(31, Features{100, 0, 0, 0, -61}, p), 1);
  EXPECT_EQ(Eval(31, Features{100, 0, 0, 0, 25}, p), 0);
  EXPECT_EQ(Eval(31, Features{100, 0, 0, 0, 26}, p), 1);
  EXPECT_EQ(Eval(31, Features{100, 0, 0, 0, 26}, 0.6699999f), 0);
  EXPECT_EQ(det_->detect_count, 4);
}

TEST_F(DecisionRulesTest, X2WindowAndMode8) {
  const Features x2{59, 21, 10.1f, 0, 14};
  EXPECT_EQ(Eval(30, x2, 0.53f), 0);  // mode 8 needs P strictly above 0.53
  EXPECT_EQ(det_->x2_frame, 30);
  EXPECT_EQ(Tail(), " X2\n");
  EXPECT_EQ(Eval(38, Features{100, 0, 0, 0, 14}, 0.54f), 8);
  EXPECT_EQ(Tail(), " X2 -> Mode8(0)\n");
  EXPECT_EQ(Eval(39, Features{100, 0, 0, 0, 14}, 0.54f), 0);  // window lapsed
  EXPECT_EQ(Eval(40, Features{59, 21, 10.0f, 0, 14}, 0.54f), 0);  // vv 10 is no trigger
  EXPECT_EQ(det_->x2_frame, 30);
  EXPECT_EQ(Eval(41, Features{100, 0, 0, 0, 13}, 0.99f), 0);  // pitch 13 does not qualify
}

TEST_F(DecisionRulesTest, BothWindowsOpenWithoutAFiring) {
  Eval(30, Features{59, 95, 10.5f, 0, 0}, 0.0f);
  EXPECT_EQ(Tail(), " X1 X2\n");
}

TEST_F(DecisionRulesTest, Mode8IsNotReachedWhenMode1Fires) {
  Eval(30, Features{59, 95, 10.5f, 30, 20}, 0.9f);
  EXPECT_EQ(Tail(), " X1 -> Mode1(0)\n");
  EXPECT_EQ(det_->x2_frame, 0);  // the X2 trigger was not tested
}

TEST_F(DecisionRulesTest, Mode2FiresOnTheSecondQualifyingEvaluationAndAfter) {
  const Features f{100, 0, 2.92f, 0, 0};
  EXPECT_EQ(Eval(30, f, 0.81f), 0);
  EXPECT_EQ(det_->mode2_run, 1);
  EXPECT_EQ(Eval(45, f, 0.81f), 2);  // closed-window samples in between do not count
  EXPECT_EQ(Tail(), " -> Mode2(0)\n");
  EXPECT_EQ(Eval(46, f, 0.81f), 2);
  EXPECT_EQ(Tail(), " -> Mode2(1)\n");
  EXPECT_EQ(Eval(47, Features{100, 0, 2.91f, 0, 0}, 0.81f), 0);
  EXPECT_EQ(det_->mode2_run, 0);
}

TEST_F(DecisionRulesTest, Mode2AlternativeConditionNeedsTiltLowAccelerationAndSomeSpeed) {
  EXPECT_EQ(Eval(30, Features{99, 0, 1.1f, 38, 0}, 0.85f), 0);
  EXPECT_EQ(Eval(31, Features{99, 0, 1.1f, 0, 38}, 0.85f), 2);
  EXPECT_EQ(Eval(32, Features{100, 0, 1.1f, 0, 38}, 0.85f), 0);
  EXPECT_EQ(det_->mode2_run, 0);
  EXPECT_EQ(Eval(33, Features{99, 0, 1.0f, -38, 0}, 0.85f), 0);
  EXPECT_EQ(det_->mode2_run, 0);
}

TEST_F(DecisionRulesTest, LowProbabilityResetsBothRuns) {
  const Features f{100, 0, 3.0f, 0, 0};
  Eval(30, f, 0.95f);
  EXPECT_EQ(det_->mode2_run, 1);
  EXPECT_EQ(det_->mode7_run, 1);
  Eval(31, f, 0.8f);
  EXPECT_EQ(det_->mode2_run, 0);
  EXPECT_EQ(det_->mode7_run, 0);
  EXPECT_EQ(Eval(32, f, 0.95f), 0);
}

TEST_F(DecisionRulesTest, Mode7FiresOnTheEighthConfidentEvaluation) {
  const Features f{94, 0, 0.0f, 0, 0};
  for (int i = 1; i <= 7; ++i) EXPECT_EQ(Eval(30 + i, f, 0.91f), 0) << i;
  EXPECT_EQ(Eval(38, f, 0.91f), 7);
  EXPECT_EQ(Tail(), " -> Mode7(0)\n");
  EXPECT_EQ(Eval(39, f, 0.91f), 7);
  EXPECT_EQ(Eval(40, Features{95, 0, 0.0f, 0, 0}, 0.91f), 0);  // counter goes on growing
  EXPECT_EQ(det_->mode7_run, 10);
  EXPECT_EQ(Eval(41, f, 0.91f), 7);
  EXPECT_EQ(Eval(42, f, 0.85f), 0);  // P above 0.8 but not 0.9 restarts the run
  EXPECT_EQ(det_->mode7_run, 0);
}

TEST_F(DecisionRulesTest, Mode2FiringDoesNotAdvanceMode7) {
  const Features f{90, 0, 3.0f, 0, 0};
  Eval(30, f, 0.95f);
  EXPECT_EQ(Eval(31, f, 0.95f), 2);
  EXPECT_EQ(det_->mode7_run, 1);
}

TEST_F(DecisionRulesTest, SingleSampleModes3To5) {
  EXPECT_EQ(Eval(30, Features{69, 10, 9.5f, 0, 0}, 0.75f), 3);
  EXPECT_EQ(Tail(), " -> Mode3(0)\n");
  EXPECT_EQ(Eval(31, Features{72, 10, 9.5f, 0, 0}, 0.75f), 0);
  EXPECT_EQ(Tail(), "\n");
  EXPECT_EQ(Eval(32, Features{69, 10, 9.0f, 0, 0}, 0.75f), 0);
  EXPECT_EQ(Eval(33, Features{69, 10, 9.5f, 0, 0}, 0.7f), 3);
  EXPECT_EQ(Eval(34, Features{74, 10, 10.5f, 0, 0}, 0.57f), 4);
  EXPECT_EQ(Eval(35, Features{74, 10, 10.0f, 0, 0}, 0.57f), 0);
  EXPECT_EQ(Eval(36, Features{79, 10, 15.5f, 0, 0}, 0.53f), 5);
  EXPECT_EQ(Tail(), " -> Mode5(3)\n");
  EXPECT_EQ(Eval(37, Features{80, 10, 15.5f, 0, 0}, 0.53f), 0);
  EXPECT_EQ(Eval(38, Features{79, 10, 15.5f, 0, 0}, 0.5299999f), 0);
  EXPECT_EQ(det_->detect_count, 4);
}

}  // namespace
