// TUMBLIX_RULES: a rule file overlaying the table's values, read and checked
// once before any replay, by tumblebench, its walk workers and dump_windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/generated_data.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::ReadFile;
using test_support::RunCommand;
using test_support::RunIn;
using test_support::RunResult;
using test_support::TempDir;
using test_support::WriteFile;

// Sets TUMBLIX_RULES for the programs this test starts.
class RulesVariable {
 public:
  explicit RulesVariable(const std::string& value) { setenv("TUMBLIX_RULES", value.c_str(), 1); }
  ~RulesVariable() { unsetenv("TUMBLIX_RULES"); }
};

// A fall trial at half a g turning at 30 deg/s: the window is open from
// sample 25 on and vv climbs by about 1.9 every two samples (7.68 at 25).
void WriteSinkingTrial(const TempDir& dir) {
  WriteFile(dir.File("S01T20R01.csv"), test_support::KFallRecording(120, 0.0, -0.5, 0.0, 30.0));
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  for (std::string part; std::getline(stream, part, separator);) parts.push_back(part);
  return parts;
}

TEST(RunRules, ABadRuleFileEndsTheRunBeforeAnyReplay) {
  TempDir dir;
  WriteSinkingTrial(dir);
  fs::create_directory(dir.File("folder.json"));
  WriteFile(dir.File("huge.json"), "{\"mode6\": {\"vv_above\": 23}}" + std::string(2 << 20, ' '));
  const struct {
    const char* file;
    const char* text;  // nullptr: the file is made above, or missing
    const char* name;  // what the message names after the file ("" for the file as a whole)
    const char* reason;
  } cases[] = {
      {"broken.json", "{\"mode6\": {\"vv_above\": 23}", "", "not JSON"},
      {"empty.json", "", "", "not JSON"},
      {"array.json", "[{\"mode6\": {\"vv_above\": 23}}]", "", "one JSON object of groups"},
      {"group.json", "{\"mode9\": {\"vv_above\": 23}}", "mode9", "unknown group"},
      {"name.json", "{\"mode6\": {\"vv_below\": 23}}", "mode6.vv_below", "unknown name"},
      {"flat.json", "{\"mode6\": 23}", "mode6", "must be an object"},
      {"string.json", "{\"mode6\": {\"vv_above\": \"23\"}}", "mode6.vv_above",
       "must be a number, not a string"},
      {"bool.json", "{\"x1\": {\"window_samples\": true}}", "x1.window_samples",
       "must be a number, not a boolean"},
      {"fraction.json", "{\"mode7\": {\"run_above\": 7.5}}", "mode7.run_above", "must be an integer"},
      {"exponent.json", "{\"mode3\": {\"lpf_acc_below\": 7e1}}", "mode3.lpf_acc_below", "must be an integer"},
      {"nan.json", "{\"mode4\": {\"p_at_least\": NaN}}", "mode4.p_at_least", "not JSON"},
      {"double.json", "{\"mode6\": {\"vv_above\": 1e999}}", "mode6.vv_above", "not a finite number"},
      {"single.json", "{\"mode6\": {\"vv_above\": 3.5e38}}", "mode6.vv_above",
       "not a finite number in single precision"},
      {"int32.json", "{\"mode1\": {\"pitch_below\": -2147483649}}", "mode1.pitch_below", "out of range"},
      {"negative.json", "{\"window\": {\"open_samples\": -1}}", "window.open_samples",
       "a length cannot be negative"},
      {"long.json", "{\"x2\": {\"window_samples\": 4320001}}", "x2.window_samples", "out of range"},
      {"twice.json", "{\"mode6\": {}, \"mode6\": {\"vv_above\": 1}}", "mode6", "given twice"},
      {"again.json", "{\"mode6\": {\"vv_above\": 1, \"vv_above\": 2}}", "mode6.vv_above", "given twice"},
      {"missing.json", nullptr, "", "No such file or directory"},
      {"folder.json", nullptr, "", "not a regular file"},
      {"huge.json", nullptr, "", "larger than 1 MiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    if (c.text != nullptr) WriteFile(dir.File(c.file), c.text);
    RulesVariable rules(dir.File(c.file));
    const RunResult run = RunIn(dir.path(), "-f S01T20R01.csv 20 50");
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "");  // no replay, no report
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    const std::string named = std::string(c.file) +
                              " (TUMBLIX_RULES), the rule set cannot be used: " + c.name +
                              (c.name[0] == '\0' ? "" : ": ");
    EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
  }
  EXPECT_FALSE(fs::exists(dir.File("S01T20R01_DSV.csv")));
}

TEST(RunRules, NoFileAnEmptyFileOfGroupsOrTheTablesOwnValuesChangeNoByte) {
  TempDir dir;
  WriteSinkingTrial(dir);
  const RunResult table = RunIn(dir.path(), "-f S01T20R01.csv 20 50");
  ASSERT_EQ(table.status, 0) << table.err;
  const std::string table_trace = ReadFile(dir.File("S01T20R01_DSV.csv"));
  WriteFile(dir.File("none.json"), "{}");
  WriteFile(
      dir.File("same.json"),
      "{\"mode6\": {\"vv_above\": 21.3}, \"mode1\": {\"p_at_least\": 0.67}, \"mode4\": {\"vv_above\": 10},"
      " \"window\": {\"raw_acc_at_most\": 90, \"open_samples\": 25}, \"runs\": {\"p_above\": 0.8}}");
  for (const std::string& value : {std::string(), dir.File("none.json"), dir.File("same.json")}) {
    SCOPED_TRACE(value);
    RulesVariable rules(value);
    const RunResult run = RunIn(dir.path(), "-f S01T20R01.csv 20 50");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, table.out);
    EXPECT_EQ(run.err, table.err);
    EXPECT_EQ(ReadFile(dir.File("S01T20R01_DSV.csv")), table_trace);
  }
}

// One evaluated sample's console line, as far as the trace repeats it.
struct ConsoleSample {
  int lpf_acc, lpf_gyro, roll, pitch;
  std::string vv, tf;
  int mode = 0;
};

// Checks the trace against the console sample by sample: the features of
// every DETECT-1 line, the mode of every row, the labelled span and the
// detection lines; returns the modes of the rows in order.
std::vector<int> CheckTraceAgainstConsole(const std::string& console, const std::string& trace, int onset,
                                          int impact) {
  std::vector<std::pair<int, ConsoleSample>> evaluated;  // sample number, line
  std::vector<std::string> detection_lines;
  for (const std::string& line : Split(console, '\n')) {
    ConsoleSample s;
    int n = 0;
    char vv[16], tf[16];
    if (std::sscanf(line.c_str(),
                    "S01T20R01.csv  DETECT-1[%d] : Acc %d, Gyro %d, Vel_V %15s Roll %d, Pitch %d, TF %15s",
                    &n, &s.lpf_acc, &s.lpf_gyro, vv, &s.roll, &s.pitch, tf) == 7) {
      s.vv = std::string(vv, std::strlen(vv) - 1);  // without its comma
      s.tf = tf;
      const size_t fragment = line.find(" -> Mode");
      if (fragment != std::string::npos) s.mode = std::atoi(line.c_str() + fragment + 8);
      evaluated.emplace_back(n, s);
    } else if (line.find(" Detect : ") != std::string::npos) {
      detection_lines.push_back(line);
    }
  }

  std::vector<int> modes;
  size_t next = 0;
  size_t detection = 0;
  int first_mode = 0;
  const std::vector<std::string> rows = Split(trace, '\n');
  for (size_t r = 1; r < rows.size(); ++r) {
    const std::vector<std::string> c = Split(rows[r], ',');
    EXPECT_EQ(c.size(), 20u) << rows[r];
    if (c.size() != 20) break;
    const int seqno = std::stoi(c[0]);
    EXPECT_EQ(seqno, static_cast<int>(r));
    EXPECT_EQ(c[15], onset > 0 && onset <= seqno && seqno < impact ? "D" : "X") << "row " << seqno;
    const int mode = std::stoi(c[18]);
    modes.push_back(mode);
    EXPECT_EQ(c[19], mode == 1 ? "1" : "0") << "row " << seqno;
    if (next < evaluated.size() && evaluated[next].first == seqno) {
      const ConsoleSample& s = evaluated[next++].second;
      EXPECT_EQ(std::stoi(c[8]), s.lpf_acc) << "row " << seqno;
      EXPECT_EQ(std::stoi(c[10]), s.lpf_gyro) << "row " << seqno;
      EXPECT_EQ(std::stoi(c[11]), s.roll) << "row " << seqno;
      EXPECT_EQ(std::stoi(c[12]), s.pitch) << "row " << seqno;
      EXPECT_EQ(c[14], s.vv) << "row " << seqno;
      // The trace truncates the score times 100, the console rounds it.
      EXPECT_LE(std::abs(std::stoi(c[17]) - static_cast<int>(std::lround(std::stod(s.tf) * 100))), 1)
          << "row " << seqno;
      EXPECT_EQ(mode, s.mode) << "row " << seqno;
    } else {
      EXPECT_EQ(mode, 0) << "row " << seqno << " has a mode and no console line";
    }
    if (mode != 0) {
      if (first_mode == 0) first_mode = mode;
      // Every detection of a labelled fall has its timing line, with the
      // 0-based index and the first mode.
      if (onset > 0 && detection < detection_lines.size()) {
        const std::string expected =
            " Detect : " + std::to_string(seqno - 1) + ", wDownMode : " + std::to_string(first_mode);
        EXPECT_NE(detection_lines[detection].find(expected), std::string::npos) << detection_lines[detection];
      }
      detection += 1;
    }
  }
  size_t lines = 0;
  for (size_t at = console.find("DETECT-1"); at != std::string::npos; at = console.find("DETECT-1", at + 1))
    ++lines;
  EXPECT_EQ(evaluated.size(), lines) << "console lines not understood";
  EXPECT_EQ(next, evaluated.size()) << "console lines without a trace row";
  if (onset > 0) {
    EXPECT_EQ(detection, detection_lines.size());
  }
  return modes;
}

std::string ResultLine(const std::string& console) {
  for (const std::string& line : Split(console, '\n')) {
    if (line.rfind("result ", 0) == 0) return line;
  }
  return "";
}

TEST(RunRules, OverlaysChangeDetectionsAsTheyShouldAndTheTraceAgreesWithTheConsole) {
  TempDir dir;
  WriteSinkingTrial(dir);
  WriteFile(dir.File("pivot.json"), "{\"x1\": {\"lpf_gyro_above\": 20}, \"mode6\": {\"vv_above\": 5}}");
  // No score can pass a threshold of 2; mode 6 needs a speed of 100 m/s.
  WriteFile(dir.File("silent.json"),
            "{\"mode6\": {\"vv_above\": 1000}, \"mode1\": {\"p_at_least\": 2}, \"mode8\": {\"p_above\": 2},"
            " \"runs\": {\"p_above\": 2}, \"mode3\": {\"p_at_least\": 2}, \"mode4\": {\"p_at_least\": 2},"
            " \"mode5\": {\"p_at_least\": 2}}");
  WriteFile(dir.File("closed.json"), "{\"window\": {\"raw_acc_at_most\": 49}}");  // raw_acc is 50
  const struct {
    const char* rules;
    int first_mode;  // -1: whatever the table's rules give
    const char* result;
  } cases[] = {
      {"", -1, nullptr},
      // X1 now triggers at 25 (30 deg/s, vv 7.68), and mode 6 fires there
      // whatever the network says.
      {"pivot.json", 6, "result S01T20R01.csv : 20,  24,  20,  50 -> good (26)[6]"},
      {"silent.json", 0, "result S01T20R01.csv : 20,   0,  20,  50 -> fn"},
      {"closed.json", 0, "result S01T20R01.csv : 20,   0,  20,  50 -> fn"},
  };
  std::vector<int> table_modes;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rules);
    RulesVariable rules(c.rules[0] == '\0' ? "" : dir.File(c.rules));
    const RunResult run = RunIn(dir.path(), "-f S01T20R01.csv 20 50");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string trace = ReadFile(dir.File("S01T20R01_DSV.csv"));
    const std::vector<int> modes = CheckTraceAgainstConsole(run.out, trace, 20, 50);
    ASSERT_EQ(modes.size(), 60u);
    const auto first = std::find_if(modes.begin(), modes.end(), [](int m) { return m != 0; });
    if (c.first_mode < 0) {
      table_modes = modes;
      EXPECT_NE(first, modes.end()) << "the table's rules detect this fall";
      continue;
    }
    EXPECT_NE(modes, table_modes);
    EXPECT_EQ(first == modes.end() ? 0 : *first, c.first_mode);
    EXPECT_EQ(ResultLine(run.out), c.result);
    if (std::string(c.rules) == "closed.json") {
      // A window that never opens: no rule ran and the network never did.
      EXPECT_EQ(run.out.find("DETECT-1"), std::string::npos);
      const std::vector<std::string> rows = Split(trace, '\n');
      for (size_t r = 1; r < rows.size(); ++r) {
        EXPECT_EQ(rows[r].substr(rows[r].size() - 8), ",0,0,0,0") << rows[r];
      }
    }
  }
}

TEST(RunRules, WalkWorkersUseTheRunsRuleSet) {
  TempDir root;
  int status = -1;
  const std::string text = generated_data::Generate(
      "--quiet --out '" + root.path().string() + "' --subjects 3 --trials 1 --seed 23 --tasks 3,20,27",
      &status);
  ASSERT_EQ(status, 0) << text;
  auto walk = [&](const std::string& jobs) {
    return RunCommand("cd '" + root.path().string() + "' && TUMBLEBENCH_JOBS=" + jobs + " '" +
                          test_support::TumblebenchPath() + "' -r 2>/dev/null",
                      &status);
  };
  const std::string table = walk("1");
  ASSERT_EQ(status, 0);
  WriteFile(root.File("rules.json"),
            "{\"mode6\": {\"vv_above\": 3}, \"x1\": {\"lpf_gyro_above\": 10, \"vv_above\": 2}}");
  RulesVariable rules(root.File("rules.json"));
  const std::string serial = walk("1");
  ASSERT_EQ(status, 0);
  const std::string parallel = walk("3");
  ASSERT_EQ(status, 0);
  EXPECT_NE(serial, table);
  EXPECT_NE(serial.find("-> Mode6("), std::string::npos);
  EXPECT_EQ(parallel, serial);
}

TEST(RunRules, DumpWindowsTakesTheRuleFileOrRefusesIt) {
  TempDir dir;
  WriteSinkingTrial(dir);
  const std::string tool = std::string("'") + TUMBLEBENCH_BINARY_DIR + "/tools/dump_windows'";
  auto dump = [&](const std::string& output, int* status) {
    return RunCommand(
        "cd '" + dir.path().string() + "' && " + tool + " S01T20R01.csv " + output + " 2>&1 >/dev/null",
        status);
  };
  // The mode column, the 16th.
  auto modes = [&](const std::string& output) {
    std::string column;
    for (const std::string& row : Split(ReadFile(dir.File(output)), '\n'))
      column += Split(row, ',').at(15) + " ";
    return column;
  };
  int status = -1;
  dump("table.csv", &status);
  ASSERT_EQ(status, 0);
  WriteFile(dir.File("pivot.json"), "{\"x1\": {\"lpf_gyro_above\": 20}, \"mode6\": {\"vv_above\": 5}}");
  WriteFile(dir.File("bad.json"), "{\"mode6\": {\"vv_above\": \"5\"}}");
  {
    RulesVariable rules(dir.File("pivot.json"));
    dump("pivot.csv", &status);
    EXPECT_EQ(status, 0);
  }
  EXPECT_NE(modes("pivot.csv"), modes("table.csv"));
  EXPECT_EQ(Split(modes("pivot.csv"), ' ').at(25), "6");  // sample 25, after the title
  RulesVariable rules(dir.File("bad.json"));
  const std::string err = dump("bad.csv", &status);
  EXPECT_EQ(status, 3);
  EXPECT_NE(err.find("bad.json (TUMBLIX_RULES), the rule set cannot be used: mode6.vv_above"),
            std::string::npos)
      << err;
  EXPECT_FALSE(fs::exists(dir.File("bad.csv")));
}

}  // namespace
