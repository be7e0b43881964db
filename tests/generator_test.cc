// The synthetic data set: its layout and formats, its labels against the
// motion in the recordings, and the physics of that motion.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "harness/kfall_tasks.h"
#include "tests/generated_data.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

using generated_data::DeviceRow;
using generated_data::Generate;
using generated_data::KFallRow;
using generated_data::LabelRow;
using generated_data::ReadDeviceRows;
using generated_data::ReadKFallRows;
using generated_data::ReadLabelFile;
using test_support::ReadFile;
using test_support::TempDir;

constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;
constexpr int kRowsAtRest = 50;  // every trial starts with at least a second at rest

bool IsFall(int task) { return task >= 20 && task <= 34; }

double AccNorm(const KFallRow& r) { return std::sqrt(r[2] * r[2] + r[3] * r[3] + r[4] * r[4]); }
double GyroNorm(const KFallRow& r) { return std::sqrt(r[5] * r[5] + r[6] * r[6] + r[7] * r[7]); }

// ---- rotations, written independently of the generator ---------------------

using Mat3 = std::array<std::array<double, 3>, 3>;

Mat3 Multiply(const Mat3& a, const Mat3& b) {
  Mat3 m{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) m[i][j] += a[i][k] * b[k][j];
  return m;
}

Mat3 Transpose(const Mat3& a) {
  Mat3 m{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m[i][j] = a[j][i];
  return m;
}

// Sensor-to-reference rotation from the recorded Euler angles (degrees):
// R = Rz(yaw) Ry(pitch) Rx(roll).
Mat3 FromEuler(const KFallRow& r) {
  const double cr = std::cos(r[8] * kRad), sr = std::sin(r[8] * kRad);
  const double cp = std::cos(r[9] * kRad), sp = std::sin(r[9] * kRad);
  const double cy = std::cos(r[10] * kRad), sy = std::sin(r[10] * kRad);
  const Mat3 rz{{{cy, -sy, 0}, {sy, cy, 0}, {0, 0, 1}}};
  const Mat3 ry{{{cp, 0, sp}, {0, 1, 0}, {-sp, 0, cp}}};
  const Mat3 rx{{{1, 0, 0}, {0, cr, -sr}, {0, sr, cr}}};
  return Multiply(rz, Multiply(ry, rx));
}

// Rotation by angle |w| about w (Rodrigues).
Mat3 Exp(const std::array<double, 3>& w) {
  const double angle = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
  Mat3 m{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  if (angle < 1e-12) return m;
  const double x = w[0] / angle, y = w[1] / angle, z = w[2] / angle;
  const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
  return Mat3{{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
               {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
               {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
}

double AngleBetween(const Mat3& a, const Mat3& b) {
  const Mat3 d = Multiply(Transpose(a), b);
  const double cosine = std::clamp((d[0][0] + d[1][1] + d[2][2] - 1.0) / 2.0, -1.0, 1.0);
  return std::acos(cosine) / kRad;
}

// ---- one generated data set shared by the read-only checks -----------------

struct Recording {
  std::string name;
  int task = 0;
  std::vector<KFallRow> rows;
};

class GeneratedSet : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    int status = -1;
    output_ = Generate("--out '" + dir_->path().string() + "' --subjects 2 --trials 1 --seed 11 --tasks 2-10,13-16,18-36",
                       &status);
    status_ = status;
    recordings_ = new std::vector<Recording>();
    for (const char* subject : {"SA01", "SA02"}) {
      for (const auto& entry : fs::directory_iterator(dir_->path() / subject)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != 13 || name[0] != 'S' || name[3] != 'T') continue;
        Recording r;
        r.name = name;
        r.task = std::stoi(name.substr(4, 2));
        int malformed = 0;
        r.rows = ReadKFallRows(entry.path().string(), &malformed);
        malformed_rows_ += malformed;
        recordings_->push_back(std::move(r));
      }
    }
    std::sort(recordings_->begin(), recordings_->end(),
              [](const Recording& a, const Recording& b) { return a.name < b.name; });
  }
  static void TearDownTestSuite() {
    delete recordings_;
    delete dir_;
  }
  static const Recording* Find(const std::string& name) {
    for (const Recording& r : *recordings_) {
      if (r.name == name) return &r;
    }
    return nullptr;
  }
  static std::string Path(const std::string& relative) { return (dir_->path() / relative).string(); }

  static TempDir* dir_;
  static std::string output_;
  static int status_;
  static int malformed_rows_;
  static std::vector<Recording>* recordings_;
};

TempDir* GeneratedSet::dir_ = nullptr;
std::string GeneratedSet::output_;
int GeneratedSet::status_ = -1;
int GeneratedSet::malformed_rows_ = 0;
std::vector<Recording>* GeneratedSet::recordings_ = nullptr;

std::vector<int> SelectedTasks() {
  std::vector<int> tasks;
  for (int t = 2; t <= 36; ++t) {
    if (t != 11 && t != 12 && t != 17) tasks.push_back(t);
  }
  return tasks;
}

TEST_F(GeneratedSet, SubjectFoldersHoldEveryTrialAndTheirLabelFilesOnly) {
  ASSERT_EQ(status_, 0) << output_;
  EXPECT_EQ(output_, "tumblebench_gen: 64 recordings (30 falls, 34 daily activities) of 2 subjects in " +
                         dir_->path().string() + "\n");
  std::set<std::string> top;
  for (const auto& entry : fs::directory_iterator(dir_->path())) top.insert(entry.path().filename().string());
  EXPECT_EQ(top, (std::set<std::string>{"SA01", "SA02"}));
  for (int subject : {1, 2}) {
    char folder[8];
    std::snprintf(folder, sizeof(folder), "SA%02d", subject);
    std::set<std::string> expected{std::string(folder) + "_down.csv", std::string(folder) + "_adl.csv",
                                   std::string(folder) + "_all.csv"};
    for (int task : SelectedTasks()) {
      char name[32];
      std::snprintf(name, sizeof(name), "S%02dT%02dR01.csv", subject, task);
      expected.insert(name);
    }
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir_->path() / folder)) {
      EXPECT_TRUE(entry.is_regular_file()) << entry.path();
      found.insert(entry.path().filename().string());
    }
    EXPECT_EQ(found, expected) << folder;
  }
}

TEST_F(GeneratedSet, RecordingsFollowTheKFallTrialLayout) {
  ASSERT_EQ(recordings_->size(), 64u);
  EXPECT_EQ(malformed_rows_, 0);
  const std::string first = test_support::ReadLines(Path("SA01/S01T20R01.csv")).at(0);
  EXPECT_EQ(first, "TimeStamp(s),FrameCounter,AccX,AccY,AccZ,GyrX,GyrY,GyrZ,EulerX,EulerY,EulerZ");
  for (const Recording& r : *recordings_) {
    SCOPED_TRACE(r.name);
    ASSERT_GE(r.rows.size(), 300u);  // every task takes a few seconds at least
    for (size_t i = 0; i < r.rows.size(); ++i) {
      const KFallRow& row = r.rows[i];
      ASSERT_NEAR(row[0], 0.01 * (i + 1), 1e-9) << "row " << i;
      ASSERT_EQ(row[1], static_cast<double>(i + 1)) << "row " << i;
      for (int axis = 2; axis <= 4; ++axis) ASSERT_LE(std::fabs(row[axis]), 4.0);
      for (int axis = 5; axis <= 7; ++axis) ASSERT_LE(std::fabs(row[axis]), 2000.0);
      ASSERT_LE(std::fabs(row[8]), 180.0);
      ASSERT_LE(std::fabs(row[9]), 90.0);
      ASSERT_LE(std::fabs(row[10]), 180.0);
    }
  }
}

TEST_F(GeneratedSet, LabelFilesListEveryTrialOnceInTheHarnessLayout) {
  const char kHeader[] = "Task Code (Task ID),Description,Trial ID,Fall_onset_frame,Fall_impact_frame";
  for (const char* subject : {"SA01", "SA02"}) {
    SCOPED_TRACE(subject);
    std::map<std::string, std::vector<LabelRow>> files;
    for (const char* kind : {"down", "adl", "all"}) {
      const std::string path = Path(std::string(subject) + "/" + subject + "_" + kind + ".csv");
      EXPECT_EQ(test_support::ReadLines(path).at(0), kHeader);
      int malformed = 0;
      files[kind] = ReadLabelFile(path, &malformed);
      EXPECT_EQ(malformed, 0) << path;
    }
    const std::string subject_code = std::string("S") + subject[2] + subject[3] + "T";
    for (const LabelRow& row : files["all"]) {
      SCOPED_TRACE(row.recording());
      EXPECT_EQ(row.code.substr(0, 4), subject_code);
      EXPECT_EQ(row.description, kKFallTaskTable[row.task()]);
      EXPECT_NE(Find(row.recording()), nullptr);
      // The quoted description is written as such, commas and all.
      EXPECT_NE(ReadFile(Path(std::string(subject) + "/" + subject + "_all.csv"))
                    .find(row.code + ",\"" + kKFallTaskTable[row.task()] + "\"," + std::to_string(row.trial) + ","),
                std::string::npos);
    }
    // all = down + adl, in task order, each trial once.
    std::vector<std::string> all, merged;
    for (const LabelRow& row : files["all"]) all.push_back(row.recording());
    for (const char* kind : {"down", "adl"}) {
      for (const LabelRow& row : files[kind]) {
        EXPECT_EQ(IsFall(row.task()), std::string(kind) == "down") << row.recording();
        merged.push_back(row.recording());
      }
    }
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
    std::sort(merged.begin(), merged.end());
    EXPECT_EQ(merged, all);
    EXPECT_EQ(all.size(), 32u);
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), all.size());
    for (const LabelRow& row : files["adl"]) {
      EXPECT_EQ(row.onset, 0) << row.recording();
      EXPECT_EQ(row.impact, 0) << row.recording();
    }
    for (const LabelRow& row : files["down"]) {
      const Recording* r = Find(row.recording());
      ASSERT_NE(r, nullptr) << row.recording();
      EXPECT_GT(row.onset, kRowsAtRest) << row.recording();
      EXPECT_LT(row.onset, row.impact) << row.recording();
      EXPECT_LT(row.impact + 100, static_cast<int>(r->rows.size())) << row.recording();
    }
  }
}

TEST_F(GeneratedSet, EveryTrialStartsAtRestWithGravityAlongTheOrientationsUp) {
  for (const Recording& r : *recordings_) {
    SCOPED_TRACE(r.name);
    double norm = 0.0, rate = 0.0;
    double worst_axis_error = 0.0;
    for (int i = 0; i < kRowsAtRest; ++i) {
      const KFallRow& row = r.rows[i];
      norm += AccNorm(row) / kRowsAtRest;
      rate += GyroNorm(row) / kRowsAtRest;
      // At rest the accelerometer measures the reaction to gravity: "up" of
      // the north-east-down reference, seen in sensor axes.
      const Mat3 m = FromEuler(row);
      for (int axis = 0; axis < 3; ++axis) {
        const double expected = -m[2][axis];
        worst_axis_error = std::max(worst_axis_error, std::fabs(row[2 + axis] - expected));
      }
    }
    EXPECT_NEAR(norm, 1.0, 0.04);
    EXPECT_LT(rate, 5.0);
    EXPECT_LT(worst_axis_error, 0.08);
  }
  // An upright wearer has gravity on -Y, part of it on Z from the clip's tilt.
  for (const Recording& r : *recordings_) {
    if (r.task == 18 || r.task == 19 || (r.task >= 23 && r.task <= 27) || r.task == 15) continue;  // seated or lying starts
    EXPECT_LT(r.rows[0][3], -0.85) << r.name;
  }
}

TEST_F(GeneratedSet, AngularRateIntegratesToTheRecordedOrientation) {
  constexpr int kWindow = 50;  // half a second: long enough to matter, short enough for the gyro bias
  for (const Recording& r : *recordings_) {
    SCOPED_TRACE(r.name);
    double worst = 0.0, largest_turn = 0.0;
    for (size_t start = 0; start + kWindow < r.rows.size(); start += 25) {
      Mat3 integrated = FromEuler(r.rows[start]);
      for (size_t i = start + 1; i <= start + kWindow; ++i) {
        const KFallRow& row = r.rows[i];
        integrated = Multiply(integrated, Exp({row[5] * kRad * 0.01, row[6] * kRad * 0.01, row[7] * kRad * 0.01}));
      }
      const Mat3 recorded = FromEuler(r.rows[start + kWindow]);
      worst = std::max(worst, AngleBetween(integrated, recorded));
      largest_turn = std::max(largest_turn, AngleBetween(FromEuler(r.rows[start]), recorded));
    }
    EXPECT_LT(worst, 1.5);
    // Every task turns the trunk somewhere, so the check above has teeth.
    EXPECT_GT(largest_turn, 5.0);
  }
}

TEST_F(GeneratedSet, FallLabelsMarkTheLossOfBalanceAndTheImpact) {
  int falls = 0;
  for (const char* subject : {"SA01", "SA02"}) {
    int malformed = 0;
    for (const LabelRow& label : ReadLabelFile(Path(std::string(subject) + "/" + subject + "_down.csv"), &malformed)) {
      const Recording* r = Find(label.recording());
      ASSERT_NE(r, nullptr);
      SCOPED_TRACE(r->name);
      ++falls;
      const std::vector<KFallRow>& rows = r->rows;
      const int on = label.onset, im = label.impact, n = static_cast<int>(rows.size());

      // The impact frame sits on the strongest shock from the onset on, a
      // shock of a few g (its top may be flattened by the 4 g range).
      int peak = on;
      for (int i = on; i < n; ++i) {
        if (AccNorm(rows[i]) > AccNorm(rows[peak])) peak = i;
      }
      EXPECT_NEAR(peak, im, 4);
      EXPECT_GT(AccNorm(rows[im]), 0.85 * AccNorm(rows[peak]));
      EXPECT_GT(AccNorm(rows[peak]), 2.5);

      // On the way down the body is partly let go: less than 1 g.
      double least = 10.0;
      for (int i = on; i < im - 2; ++i) least = std::min(least, AccNorm(rows[i]));
      EXPECT_LT(least, 0.75);

      // Within the second before the onset nothing like the fall happens yet.
      for (int i = std::max(0, on - 100); i < on; ++i) {
        ASSERT_LT(AccNorm(rows[i]), r->task == 31 ? 4.5 : 2.0) << "row " << i;  // jogging lands hard
      }

      // The descent turns the trunk toward horizontal (least so in a
      // collapse, which lands on the knees) ...
      const Mat3 at_onset = FromEuler(rows[on]);
      const Mat3 lying = FromEuler(rows[n - 1]);
      EXPECT_GT(AngleBetween(at_onset, FromEuler(rows[im])), 15.0);
      // ... and ends lying still: gravity off the body's long axis (Y).
      double acc_y = 0.0, norm = 0.0, rate = 0.0;
      for (int i = n - kRowsAtRest; i < n; ++i) {
        acc_y += rows[i][3] / kRowsAtRest;
        norm += AccNorm(rows[i]) / kRowsAtRest;
        rate += GyroNorm(rows[i]) / kRowsAtRest;
      }
      EXPECT_LT(std::fabs(acc_y), 0.6);
      EXPECT_NEAR(norm, 1.0, 0.04);
      EXPECT_LT(rate, 5.0);
      // Lying, the sensor's Y axis is within 37 degrees of horizontal (the
      // clip's tilt included).
      EXPECT_LT(std::fabs(lying[2][1]), std::sin(37.0 * kRad));
    }
  }
  EXPECT_EQ(falls, 30);
}

TEST_F(GeneratedSet, DailyActivitiesNeverLieDownUnlessTheTaskSaysSo) {
  for (const Recording& r : *recordings_) {
    if (IsFall(r.task) || r.task == 18 || r.task == 19) continue;
    SCOPED_TRACE(r.name);
    const int n = static_cast<int>(r.rows.size());
    double acc_y = 0.0;
    for (int i = n - kRowsAtRest; i < n; ++i) acc_y += r.rows[i][3] / kRowsAtRest;
    EXPECT_LT(acc_y, -0.8);  // ends upright, standing or sitting
  }
}

// ---- the command line --------------------------------------------------------

TEST(GeneratorCommandLine, SameSeedSameBytesAndEveryTrialIndependentOfTheRest) {
  TempDir a, b, c, d;
  int status = -1;
  Generate("--quiet --out '" + a.path().string() + "' --subjects 2 --trials 1 --seed 5 --tasks 3,20", &status);
  ASSERT_EQ(status, 0);
  Generate("--quiet --out '" + b.path().string() + "' --subjects 2 --trials 1 --seed 5 --tasks 3,20", &status);
  ASSERT_EQ(status, 0);
  Generate("--quiet --out '" + c.path().string() + "' --first-subject 2 --subjects 1 --trials 1 --seed 5 --tasks 20",
           &status);
  ASSERT_EQ(status, 0);
  Generate("--quiet --out '" + d.path().string() + "' --subjects 1 --trials 1 --seed 6 --tasks 20", &status);
  ASSERT_EQ(status, 0);
  for (const char* file : {"SA01/S01T03R01.csv", "SA01/S01T20R01.csv", "SA02/S02T20R01.csv", "SA02/SA02_all.csv"}) {
    EXPECT_EQ(ReadFile(a.File(file)), ReadFile(b.File(file))) << file;
  }
  EXPECT_EQ(ReadFile(a.File("SA02/S02T20R01.csv")), ReadFile(c.File("SA02/S02T20R01.csv")));
  EXPECT_NE(ReadFile(a.File("SA01/S01T20R01.csv")), ReadFile(d.File("SA01/S01T20R01.csv")));
  // Subjects differ, and so do trials of one task.
  EXPECT_NE(ReadFile(a.File("SA01/S01T20R01.csv")).substr(100, 2000),
            ReadFile(a.File("SA02/S02T20R01.csv")).substr(100, 2000));
}

TEST(GeneratorCommandLine, BadArgumentsAreRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  const std::string out = "--out '" + dir.File("set") + "' ";
  for (const std::string& args :
       {std::string("--subjects 2"), out + "--tasks 0", out + "--tasks 37", out + "--tasks 5-3",
        out + "--tasks 1,,2", out + "--tasks x", out + "--subjects 0", out + "--subjects 100",
        out + "--first-subject 99 --subjects 2", out + "--trials 0", out + "--seed -1", out + "--seed 1.5",
        out + "--format csv", out + "--bogus", out + "--trials"}) {
    SCOPED_TRACE(args);
    int status = -1;
    const std::string text = Generate(args, &status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(text.rfind("tumblebench_gen: ", 0), 0u) << text;
    EXPECT_NE(text.find("Usage: tumblebench_gen"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.File("set")));
  }
  int status = -1;
  EXPECT_NE(Generate("--help", &status).find("--tasks LIST"), std::string::npos);
  EXPECT_EQ(status, 0);
}

TEST(GeneratorCommandLine, ExistingFilesAreKeptUnlessOverwriteIsGiven) {
  TempDir dir;
  const std::string args = "--quiet --out '" + dir.path().string() + "' --subjects 1 --trials 1 --tasks 3";
  int status = -1;
  Generate(args, &status);
  ASSERT_EQ(status, 0);
  const std::string original = ReadFile(dir.File("SA01/S01T03R01.csv"));
  test_support::WriteFile(dir.File("SA01/S01T03R01.csv"), "someone's own recording\n");
  const std::string text = Generate(args, &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(text.find("S01T03R01.csv exists (and 3 more); nothing written"), std::string::npos) << text;
  EXPECT_EQ(ReadFile(dir.File("SA01/S01T03R01.csv")), "someone's own recording\n");
  Generate(args + " --overwrite", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(dir.File("SA01/S01T03R01.csv")), original);
}

TEST(GeneratorCommandLine, UnwritableOutputFailsWithAMessage) {
  TempDir dir;
  test_support::WriteFile(dir.File("plain_file"), "x");
  int status = -1;
  const std::string text = Generate("--out '" + dir.File("plain_file") + "' --subjects 1 --trials 1 --tasks 3", &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(text.rfind("tumblebench_gen: ", 0), 0u) << text;
}

// ---- the device format -------------------------------------------------------

TEST(GeneratorDeviceFormat, RecordingsAreTheSameMotionInSensorCountsAtHalfTheRate) {
  TempDir kfall, device;
  const std::string common = " --quiet --subjects 1 --trials 1 --seed 3 --tasks 9,20,33";
  int status = -1;
  Generate("--out '" + kfall.path().string() + "'" + common, &status);
  ASSERT_EQ(status, 0);
  Generate("--out '" + device.path().string() + "' --format device" + common, &status);
  ASSERT_EQ(status, 0);

  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(device.path() / "SA01")) files.insert(entry.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{"S01T09R01.csv", "S01T20R01.csv", "S01T33R01.csv", "SA01_device.csv"}));
  int malformed = 0;
  const std::vector<LabelRow> labels = ReadLabelFile(device.File("SA01/SA01_device.csv"), &malformed);
  EXPECT_EQ(malformed, 0);
  ASSERT_EQ(labels.size(), 3u);
  const std::vector<LabelRow> kfall_labels = ReadLabelFile(kfall.File("SA01/SA01_all.csv"), &malformed);
  ASSERT_EQ(kfall_labels.size(), 3u);

  int saturated = 0;
  for (size_t t = 0; t < labels.size(); ++t) {
    const LabelRow& label = labels[t];
    SCOPED_TRACE(label.recording());
    EXPECT_EQ(label.recording(), kfall_labels[t].recording());
    EXPECT_EQ(label.onset, kfall_labels[t].onset);
    EXPECT_EQ(label.impact, kfall_labels[t].impact);
    const std::vector<std::string> lines = test_support::ReadLines(device.File("SA01/" + label.recording()));
    ASSERT_GT(lines.size(), 6u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(lines[i][0], '#') << "header line " << i;
    EXPECT_EQ(lines[5], "seqno,accX,accY,accZ,gyroX,gyroY,gyroZ");
    if (label.onset > 0) {
      EXPECT_NE(lines[4].find("onset sample " + std::to_string(label.onset / 2) + ", impact sample " +
                              std::to_string(label.impact / 2)),
                std::string::npos);
    }
    const std::vector<DeviceRow> rows = ReadDeviceRows(device.File("SA01/" + label.recording()), &malformed);
    EXPECT_EQ(malformed, 0);
    const std::vector<KFallRow> source = ReadKFallRows(kfall.File("SA01/" + label.recording()), &malformed);
    ASSERT_EQ(rows.size(), (source.size() + 1) / 2);
    for (size_t i = 0; i < rows.size(); ++i) {
      const KFallRow& s = source[2 * i];
      ASSERT_EQ(rows[i][0], static_cast<long>(i + 1));
      for (int axis = 0; axis < 3; ++axis) {
        ASSERT_NEAR(rows[i][1 + axis], std::clamp(s[2 + axis] * 8192.0, -32768.0, 32767.0), 1.0) << "row " << i;
        const double gyro = s[5 + axis] * 65.536;
        if (std::fabs(gyro) >= 32767.0) ++saturated;
        ASSERT_NEAR(rows[i][4 + axis], std::clamp(gyro, -32768.0, 32767.0), 1.0) << "row " << i;
      }
    }
  }
  (void)saturated;  // quick jogging and falls may or may not exceed the device's 500 deg/s
}

}  // namespace
