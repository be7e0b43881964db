// Rule sets other than the table's: the detector, given a rule file, must
// decide exactly as a second, deliberately plain implementation of the gate
// and the eight rules that takes the same values by name. Both see the same
// real feature pipeline (the detector's features and down score of every
// sample), on real KFall recordings when ../shared/kfall is there and on
// generated ones always; modes and console lines are compared sample by
// sample under overlays that move every value of the table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "harness/rule_file.h"
#include "harness/sample_stream.h"
#include "tests/generated_data.h"
#include "tests/test_support.h"
#include "tumblix/display_name.h"
#include "tumblix/tumblix.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// The values by "group.name": the table's, with the overlay's on top.
std::map<std::string, double> ValuesByName(const std::string& overlay_text) {
  std::map<std::string, double> values;
  const Json table =
      Json::parse(test_support::ReadFile(std::string(TUMBLEBENCH_SOURCE_DIR) + "/tumblix/rule_table.json"));
  for (const Json& entry : table.at("constants")) {
    values[entry.at("group").get<std::string>() + "." + entry.at("name").get<std::string>()] =
        entry.at("value");
  }
  const Json overlay = Json::parse(overlay_text);
  for (const auto& group : overlay.items()) {
    for (const auto& value : group.value().items())
      values.at(group.key() + "." + value.key()) = value.value();
  }
  return values;
}

// The rules as a plain list of conditions, one variable per value; floats
// are the values rounded to single precision.
struct ReferenceRules {
  explicit ReferenceRules(const std::string& overlay_text) {
    const std::map<std::string, double> v = ValuesByName(overlay_text);
    auto i = [&](const char* name) { return static_cast<int>(v.at(name)); };
    auto f = [&](const char* name) { return static_cast<float>(v.at(name)); };
    gate_acc = i("window.raw_acc_at_most");
    open_samples = i("window.open_samples");
    x1_acc = i("x1.lpf_acc_below");
    x1_gyro = i("x1.lpf_gyro_above");
    x1_vv = f("x1.vv_above");
    x1_samples = i("x1.window_samples");
    x2_acc = i("x2.lpf_acc_below");
    x2_gyro = i("x2.lpf_gyro_above");
    x2_vv = f("x2.vv_above");
    x2_samples = i("x2.window_samples");
    m6_vv = f("mode6.vv_above");
    m1_roll = i("mode1.roll_abs_above");
    m1_pitch_up = i("mode1.pitch_above");
    m1_pitch_down = i("mode1.pitch_below");
    m1_p = f("mode1.p_at_least");
    m8_pitch = i("mode8.pitch_above");
    m8_p = f("mode8.p_above");
    runs_p = f("runs.p_above");
    m2_vv = f("mode2.vv_above");
    m2_tilt = i("mode2.tilt_above");
    m2_tilt_acc = i("mode2.tilt_lpf_acc_below");
    m2_tilt_vv = f("mode2.tilt_vv_above");
    m2_run = i("mode2.run_at_least");
    m7_p = f("mode7.p_above");
    m7_run = i("mode7.run_above");
    m7_acc = i("mode7.lpf_acc_below");
    m3_acc = i("mode3.lpf_acc_below");
    m3_vv = f("mode3.vv_above");
    m3_p = f("mode3.p_at_least");
    m4_acc = i("mode4.lpf_acc_below");
    m4_vv = f("mode4.vv_above");
    m4_p = f("mode4.p_at_least");
    m5_acc = i("mode5.lpf_acc_below");
    m5_vv = f("mode5.vv_above");
    m5_p = f("mode5.p_at_least");
  }
  int gate_acc, open_samples, x1_acc, x1_gyro, x1_samples, x2_acc, x2_gyro, x2_samples;
  int m1_roll, m1_pitch_up, m1_pitch_down, m8_pitch, m2_tilt, m2_tilt_acc, m2_run, m7_run, m7_acc;
  int m3_acc, m4_acc, m5_acc;
  float x1_vv, x2_vv, m6_vv, m1_p, m8_p, runs_p, m2_vv, m2_tilt_vv, m7_p, m3_vv, m3_p, m4_vv, m4_p, m5_vv,
      m5_p;
};

// One detector's worth of the gate and the rules, step by step as the rule
// table of the detector's description lists them.
class ReferenceDetector {
 public:
  explicit ReferenceDetector(const ReferenceRules& r) : r_(r) {}

  // Sample n with its features and down score; returns the mode and appends
  // the console line of an evaluated sample to *console.
  int Step(int n, const MotionFeatures& f, float p, std::string* console) {
    if (f.raw_acc <= r_.gate_acc) window_end_ = n + r_.open_samples;
    if (!(n < window_end_ && n >= 25)) return 0;

    char text[160];
    std::snprintf(text, sizeof(text),
                  "%s  DETECT-1[%04d] : Acc %3d, Gyro %4d, Vel_V %5.2f, Roll %3d, Pitch %3d, TF %5.2f",
                  tumblix_display_name(), n, f.lpf_acc, f.lpf_gyro, static_cast<double>(f.vv), f.roll,
                  f.pitch, static_cast<double>(p));
    std::string line = text;
    const int mode = Rules(n, f, p, &line);
    if (mode == 0) {
      line += "\n";
    } else {
      line += " -> Mode" + std::to_string(mode) + "(" + std::to_string(detections_) + ")\n";
      detections_ += 1;
    }
    *console += line;
    return mode;
  }

 private:
  int Rules(int n, const MotionFeatures& f, float p, std::string* line) {
    const float vv = f.vv;
    // 1, 2: X1 trigger and window, modes 6 and 1.
    if (f.lpf_acc < r_.x1_acc && f.lpf_gyro > r_.x1_gyro && vv > r_.x1_vv) x1_ = n;
    if (x1_ >= 0 && n - x1_ < r_.x1_samples) {
      *line += " X1";
      if (vv > r_.m6_vv) return 6;
      if ((std::abs(f.roll) > r_.m1_roll || f.pitch > r_.m1_pitch_up || f.pitch < r_.m1_pitch_down) &&
          p >= r_.m1_p) {
        return 1;
      }
    }
    // 3, 4: X2 trigger and window, mode 8.
    if (f.lpf_acc < r_.x2_acc && f.lpf_gyro > r_.x2_gyro && vv > r_.x2_vv) x2_ = n;
    if (x2_ >= 0 && n - x2_ < r_.x2_samples) {
      *line += " X2";
      if (f.pitch > r_.m8_pitch && p > r_.m8_p) return 8;
    }
    // 5 to 7: the runs of modes 2 and 7 under one score gate.
    if (p > r_.runs_p) {
      const bool tilt = std::abs(f.roll) > r_.m2_tilt || f.pitch > r_.m2_tilt;
      if (vv > r_.m2_vv || (tilt && f.lpf_acc < r_.m2_tilt_acc && vv > r_.m2_tilt_vv)) {
        run2_ += 1;
        if (run2_ >= r_.m2_run) return 2;
      } else {
        run2_ = 0;
      }
      if (p > r_.m7_p) {
        run7_ += 1;
        if (run7_ > r_.m7_run && f.lpf_acc < r_.m7_acc) return 7;
      } else {
        run7_ = 0;
      }
    } else {
      run2_ = 0;
      run7_ = 0;
    }
    // 8 to 10: single-sample modes.
    if (f.lpf_acc < r_.m3_acc && vv > r_.m3_vv && p >= r_.m3_p) return 3;
    if (f.lpf_acc < r_.m4_acc && vv > r_.m4_vv && p >= r_.m4_p) return 4;
    if (f.lpf_acc < r_.m5_acc && vv > r_.m5_vv && p >= r_.m5_p) return 5;
    return 0;
  }

  const ReferenceRules& r_;
  int window_end_ = 0;
  int x1_ = -1;
  int x2_ = 0;
  int run2_ = 0;
  int run7_ = 0;
  int detections_ = 0;
};

// Every value of the table moves in at least one overlay; several put a
// threshold where features sit exactly (vv of 0, integer boundaries) or
// give the runs' score gate and mode 7's own test different orders.
const char* const kOverlays[] = {
    "{}",
    R"({"mode1": {"p_at_least": 0.3}, "mode8": {"p_above": 0.2}, "runs": {"p_above": 0.5},
        "mode7": {"p_above": 0.6, "run_above": 2}, "mode2": {"run_at_least": 1},
        "mode3": {"p_at_least": 0.3}, "mode4": {"p_at_least": 0.25}, "mode5": {"p_at_least": 0.2}})",
    R"({"window": {"raw_acc_at_most": 95, "open_samples": 10},
        "x1": {"lpf_acc_below": 90, "lpf_gyro_above": 60, "vv_above": 0, "window_samples": 4},
        "x2": {"lpf_acc_below": 75, "lpf_gyro_above": 10, "vv_above": 6, "window_samples": 20}})",
    R"({"mode6": {"vv_above": 12.5}, "x1": {"lpf_gyro_above": 45}, "x2": {"vv_above": 5},
        "mode1": {"roll_abs_above": 10, "pitch_above": 15, "pitch_below": -30, "p_at_least": 0.5},
        "mode8": {"pitch_above": -5, "p_above": 0.4}})",
    R"({"mode2": {"vv_above": 1.5, "tilt_above": 20, "tilt_lpf_acc_below": 110, "tilt_vv_above": 0, "run_at_least": 3},
        "mode7": {"p_above": 0.85, "run_above": 3, "lpf_acc_below": 110}, "runs": {"p_above": 0.6},
        "mode3": {"lpf_acc_below": 85, "vv_above": 4.5}, "mode4": {"lpf_acc_below": 90, "vv_above": 6.25},
        "mode5": {"lpf_acc_below": 95, "vv_above": 8}})",
    R"({"window": {"raw_acc_at_most": 70, "open_samples": 60},
        "x1": {"window_samples": 30, "lpf_gyro_above": 30}, "x2": {"window_samples": 0},
        "mode2": {"run_at_least": 0}, "mode7": {"run_above": 0, "p_above": 0.5},
        "runs": {"p_above": 0.95}, "mode6": {"vv_above": 30}})",
};

struct Tally {
  long evaluated = 0;
  std::set<int> modes;         // every mode that fired
  std::set<size_t> differing;  // overlays whose output differs from the table's somewhere
};

// Replays one recording under every overlay; fails at the first sample where
// the detector and the reference part.
void CompareOnRecording(const fs::path& recording, Tally* tally) {
  std::string table_console;
  for (size_t o = 0; o < sizeof(kOverlays) / sizeof(kOverlays[0]); ++o) {
    SCOPED_TRACE("overlay " + std::to_string(o) + " on " + recording.filename().string());
    TumblixConfig cfg;
    tumblix_default_config(&cfg);
    RuleFileError error;
    ASSERT_TRUE(OverlayRuleFile(kOverlays[o], &cfg.rules, &error)) << error.name << ": " << error.reason;
    const ReferenceRules values(kOverlays[o]);
    ReferenceDetector reference(values);
    auto detector = std::make_unique<TumblixDetector>();
    ASSERT_EQ(tumblix_create(detector.get(), &cfg), detector.get());

    FILE* file = std::fopen(recording.c_str(), "r");
    ASSERT_NE(file, nullptr);
    std::string expected_console;
    std::string mismatch;
    char line[kRecordingLineBufferSize];
    RawSample sample = {0, 0, 0, 0, 0, 0};
    testing::internal::CaptureStdout();
    ForEachRecordedSample(
        file, RecordingFormat::kKFall, line, sizeof(line), &sample, [&](const RawSample& s) {
          if (!mismatch.empty()) return;
          const int mode = tumblix_process(detector.get(), &s);
          const int n = detector->sample_count;
          const int expected = reference.Step(n, detector->features,
                                              ml_tumblix_score(&detector->classifier, 1), &expected_console);
          if (mode != expected) {
            mismatch = "sample " + std::to_string(n) + ": mode " + std::to_string(mode) +
                       ", the reference gives " + std::to_string(expected);
          }
          if (mode > 0) tally->modes.insert(mode);
        });
    std::fflush(stdout);
    const std::string console = testing::internal::GetCapturedStdout();
    std::fclose(file);
    tumblix_destroy(detector.get());

    EXPECT_EQ(mismatch, "");
    if (console != expected_console) {
      size_t at = 0;
      while (at < console.size() && at < expected_console.size() && console[at] == expected_console[at]) ++at;
      const size_t start = console.rfind('\n', at == 0 ? 0 : at - 1);
      const size_t from = start == std::string::npos ? 0 : start + 1;
      ADD_FAILURE() << "console lines part at\n  detector:  "
                    << console.substr(from, console.find('\n', from) - from) << "\n  reference: "
                    << expected_console.substr(from, expected_console.find('\n', from) - from);
    }
    tally->evaluated += static_cast<long>(std::count(console.begin(), console.end(), '\n'));
    if (o == 0) table_console = console;
    if (console != table_console) tally->differing.insert(o);
    if (::testing::Test::HasFailure()) return;
  }
}

void ExpectEveryOverlayExercised(const Tally& tally) {
  for (int mode = 1; mode <= 8; ++mode)
    EXPECT_EQ(tally.modes.count(mode), 1u) << "mode " << mode << " never fired";
  for (size_t o = 1; o < sizeof(kOverlays) / sizeof(kOverlays[0]); ++o) {
    EXPECT_EQ(tally.differing.count(o), 1u) << "overlay " << o << " changed nothing";
  }
}

std::vector<fs::path> RecordingsIn(const fs::path& folder) {
  std::vector<fs::path> recordings;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".csv") == 0 &&
        name.find("_DSV") == std::string::npos && name.rfind("SA", 0) != 0) {
      recordings.push_back(entry.path());
    }
  }
  std::sort(recordings.begin(), recordings.end());
  return recordings;
}

class RuleReference : public ::testing::Test {
 protected:
  void SetUp() override { tumblix_set_display_name("S06T20R01.csv"); }
};

TEST_F(RuleReference, RealKFallRecordingsDecideAsTheReferenceUnderEveryOverlay) {
  const fs::path store = fs::path(TUMBLEBENCH_SOURCE_DIR) / ".." / "shared" / "kfall";
  if (!fs::exists(store / "sensor_data" / "SA06.tar.xz")) {
    GTEST_SKIP() << "no real KFall recordings at " << store << "; skipped";
  }
  test_support::TempDir root;
  int status = -1;
  test_support::RunCommand(
      "bash '" + (store / "unpack.sh").string() + "' '" + root.path().string() + "' SA06 >/dev/null 2>&1",
      &status);
  ASSERT_EQ(status, 0) << "could not unpack SA06";
  Tally tally;
  const std::vector<fs::path> recordings = RecordingsIn(root.path() / "sensor_data" / "SA06");
  ASSERT_GT(recordings.size(), 100u);
  for (const fs::path& recording : recordings) {
    CompareOnRecording(recording, &tally);
    if (HasFailure()) return;
  }
  EXPECT_GT(tally.evaluated, 100000);
  ExpectEveryOverlayExercised(tally);
}

TEST_F(RuleReference, GeneratedRecordingsDecideAsTheReferenceUnderEveryOverlay) {
  test_support::TempDir root;
  int status = -1;
  const std::string text = generated_data::Generate(
      "--quiet --out '" + root.path().string() + "' --subjects 1 --trials 2 --seed 17", &status);
  ASSERT_EQ(status, 0) << text;
  Tally tally;
  const std::vector<fs::path> recordings = RecordingsIn(root.path() / "SA01");
  ASSERT_EQ(recordings.size(), 72u);
  for (const fs::path& recording : recordings) {
    CompareOnRecording(recording, &tally);
    if (HasFailure()) return;
  }
  ExpectEveryOverlayExercised(tally);
}

}  // namespace
