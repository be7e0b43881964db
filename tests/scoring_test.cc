#include "harness/scoring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "harness/report.h"

namespace {

class ScoringTest : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(&stats_, 0, sizeof(stats_)); }

  std::string Score(int task, int mode, int frame, int onset, int impact) {
    testing::internal::CaptureStdout();
    ScoreRecording(&stats_, "S01T20R01.csv", task, mode, frame, onset, impact);
    return testing::internal::GetCapturedStdout();
  }

  EvalStats stats_;
};

TEST_F(ScoringTest, FallOutcomesAroundOnsetAndImpact) {
  EXPECT_EQ(Score(20, 3, 99, 100, 150), "result S01T20R01.csv : 20,  99, 100, 150 -> early (1)[3]\n");
  EXPECT_EQ(Score(20, 3, 100, 100, 150), "result S01T20R01.csv : 20, 100, 100, 150 -> good (50)[3]\n");
  EXPECT_EQ(Score(20, 3, 145, 100, 150), "result S01T20R01.csv : 20, 145, 100, 150 -> good (5)[3]\n");
  EXPECT_EQ(Score(20, 3, 146, 100, 150), "result S01T20R01.csv : 20, 146, 100, 150 -> soso (4)[3]\n");
  EXPECT_EQ(Score(20, 3, 149, 100, 150), "result S01T20R01.csv : 20, 149, 100, 150 -> soso (1)[3]\n");
  EXPECT_EQ(Score(20, 3, 150, 100, 150), "result S01T20R01.csv : 20, 150, 100, 150 -> late (0)[3]\n");
  EXPECT_EQ(Score(20, 0, 0, 100, 150), "result S01T20R01.csv : 20,   0, 100, 150 -> fn\n");

  EXPECT_EQ(stats_.tp, 6);
  EXPECT_EQ(stats_.fn, 1);
  EXPECT_EQ(stats_.early, 1);
  EXPECT_EQ(stats_.good, 2);
  EXPECT_EQ(stats_.late, 1);
  EXPECT_EQ(stats_.soso[0], 2);
  EXPECT_EQ(stats_.soso[1], 1);
  EXPECT_EQ(stats_.soso[4], 1);
  EXPECT_EQ(stats_.tp, stats_.early + stats_.late + stats_.good + stats_.soso[0]);
  EXPECT_EQ(stats_.task_errors[20], 1);
}

TEST_F(ScoringTest, UnlabelledFallDetectionIsLateByItsFrame) {
  EXPECT_EQ(Score(25, 2, 40, 0, 0), "result S01T20R01.csv : 25,  40,   0,   0 -> late (40)[2]\n");
  EXPECT_EQ(stats_.late, 1);
}

TEST_F(ScoringTest, OnsetAfterImpactCountsAsEarly) {
  Score(21, 1, 120, 130, 110);
  EXPECT_EQ(stats_.early, 1);
}

TEST_F(ScoringTest, ClassBoundariesAndHistogramRows) {
  EXPECT_EQ(Score(19, 0, 0, 0, 0), "result S01T20R01.csv : 19,   0,   0,   0 -> tn\n");
  EXPECT_EQ(Score(35, 5, 60, 0, 0), "result S01T20R01.csv : 35,  60,   0,   0 -> fp [5]\n");
  Score(34, 7, 60, 0, 0);
  EXPECT_EQ(stats_.tn, 1);
  EXPECT_EQ(stats_.fp, 1);
  EXPECT_EQ(stats_.tp, 1);
  EXPECT_EQ(stats_.task_errors[35], 1);
  EXPECT_EQ(stats_.task_errors[34], 0);  // detected falls are not errors

  EXPECT_EQ(stats_.mode_counts[kAllRow][0], 2);
  EXPECT_EQ(stats_.mode_counts[kAllRow][5], 1);
  EXPECT_EQ(stats_.mode_counts[kAllRow][7], 1);
  EXPECT_EQ(stats_.mode_counts[kAdlRow][5], 1);
  EXPECT_EQ(stats_.mode_counts[kDownRow][7], 1);
  EXPECT_EQ(stats_.mode_counts[35][5], 1);
  EXPECT_EQ(stats_.mode_counts[34][7], 1);
}

TEST_F(ScoringTest, TaskNumbersSharingSummaryRowsAddTwice) {
  Score(0, 4, 30, 0, 0);
  EXPECT_EQ(stats_.mode_counts[kAllRow][4], 2);
  Score(38, 4, 30, 0, 0);
  EXPECT_EQ(stats_.mode_counts[kAdlRow][4], 3);  // once as ADL, once as its own row, plus task 0
}

TEST_F(ScoringTest, OutOfRangeTasksAndModesTouchNoTable) {
  EXPECT_EQ(Score(-1, 3, 30, 0, 0), "result S01T20R01.csv : -1,  30,   0,   0 -> fp [3]\n");
  Score(475, 30, 31, 0, 0);
  Score(-208, 0, 0, 0, 0);
  EXPECT_EQ(stats_.fp, 2);
  EXPECT_EQ(stats_.tn, 1);
  EXPECT_EQ(stats_.mode_counts[kAllRow][0], 2);
  EXPECT_EQ(stats_.mode_counts[kAllRow][3], 1);
  EXPECT_EQ(stats_.mode_counts[kAdlRow][0], 2);
  int errors = 0;
  for (int t = 0; t < kTaskSlots; ++t) errors += stats_.task_errors[t];
  EXPECT_EQ(errors, 0);
}

TEST(ReportTest, EmptyRunPrintsEveryHeadingWithZeros) {
  EvalStats stats;
  std::memset(&stats, 0, sizeof(stats));
  testing::internal::CaptureStdout();
  PrintStatistics(&stats);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n"
            "# ADL STAT: tn 0(0.00%), fp 0(0.00%)\n"
            "# DOWN STAT: tp 0(0.00%){good 0, soso 0 (0, 0, 0, 0), early 0, late 0}, fn 0(0.00%)\n"
            "\n# ALL STAT: ok 0(0.00%), soso 0(0.00%), troublemakers 0(0.00%)\n"
            "\n# DETECTION STAT:\n\n"
            "  o ALL : 0\n\n"
            "\n  o ADL : 0\n\n"
            "\n  o DOWN : 0\n\n"
            "\n# DETECTION ERROR:\n\n");
}

TEST(ReportTest, FullReportWithModeAndErrorLines) {
  EvalStats stats;
  std::memset(&stats, 0, sizeof(stats));
  testing::internal::CaptureStdout();
  ScoreRecording(&stats, "a", 20, 1, 110, 100, 150);  // good
  ScoreRecording(&stats, "b", 20, 3, 147, 100, 150);  // soso 3
  ScoreRecording(&stats, "c", 21, 0, 0, 100, 150);    // fn
  ScoreRecording(&stats, "d", 6, 3, 80, 0, 0);        // fp
  ScoreRecording(&stats, "e", 6, 0, 0, 0, 0);         // tn
  ScoreRecording(&stats, "f", 1, 0, 0, 0, 0);         // tn
  testing::internal::GetCapturedStdout();

  testing::internal::CaptureStdout();
  PrintStatistics(&stats);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n"
            "# ADL STAT: tn 2(66.67%), fp 1(33.33%)\n"
            "# DOWN STAT: tp 2(66.67%){good 1, soso 1 (0, 0, 1, 0), early 0, late 0}, fn 1(33.33%)\n"
            "\n# ALL STAT: ok 3(50.00%), soso 1(16.67%), troublemakers 2(33.33%)\n"
            "\n# DETECTION STAT:\n\n"
            "  o ALL : 3\n\n"
            "    -  1 : 1 (33.33%)\n"
            "    -  3 : 2 (66.67%)\n"
            "\n  o ADL : 1\n\n"
            "    -  3 : 1 (100.00%)\n"
            "\n  o DOWN : 2\n\n"
            "    -  1 : 1 (50.00%)\n"
            "    -  3 : 1 (50.00%)\n"
            "\n  o Type-06 : 1 (Walk normally with turn (4m))\n\n"
            "    -  3 : 1 (100.00%)\n"
            "\n  o Type-20 : 2 (Forward fall when trying to sit down)\n\n"
            "    -  1 : 1 (50.00%)\n"
            "    -  3 : 1 (50.00%)\n"
            "\n# DETECTION ERROR:\n\n"
            "  o 06: 1 (Walk normally with turn (4m))\n"
            "  o 21: 1 (Backward fall when trying to sit down)\n");
}

}  // namespace
