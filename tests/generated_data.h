#ifndef TESTS_GENERATED_DATA_H
#define TESTS_GENERATED_DATA_H

// Running tumblebench_gen from tests and reading back what it wrote.

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace generated_data {

// The generator is built next to the tumblebench under test.
inline std::string GeneratorPath() {
  return (std::filesystem::path(test_support::TumblebenchPath()).parent_path() / "tumblebench_gen").string();
}

// Runs the generator with the arguments; returns its standard output and
// error together, with the exit status in *status.
inline std::string Generate(const std::string& args, int* status) {
  return test_support::RunCommand("'" + GeneratorPath() + "' " + args + " 2>&1", status);
}

// One row of a label file.
struct LabelRow {
  std::string code;         // S01T20
  std::string description;  // without its quotes
  int trial = 0;
  int onset = 0;
  int impact = 0;
  int task() const { return std::atoi(code.substr(code.size() - 2).c_str()); }
  std::string recording() const {
    char name[32];
    std::snprintf(name, sizeof(name), "%sR%02d.csv", code.c_str(), trial);
    return name;
  }
};

// Splits at commas outside double quotes; quotes are removed.
inline std::vector<std::string> SplitQuoted(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else if (c != '\r' && c != '\n') {
      fields.back() += c;
    }
  }
  return fields;
}

// The rows after the header; *malformed counts rows without five fields.
inline std::vector<LabelRow> ReadLabelFile(const std::string& path, int* malformed) {
  std::vector<LabelRow> rows;
  *malformed = 0;
  const std::vector<std::string> lines = test_support::ReadLines(path);
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> f = SplitQuoted(lines[i]);
    if (f.size() != 5) {
      ++*malformed;
      continue;
    }
    LabelRow row;
    row.code = f[0];
    row.description = f[1];
    row.trial = std::atoi(f[2].c_str());
    row.onset = std::atoi(f[3].c_str());
    row.impact = std::atoi(f[4].c_str());
    rows.push_back(row);
  }
  return rows;
}

// KFall trial file: TimeStamp, FrameCounter, Acc xyz (g), Gyr xyz (deg/s),
// Euler xyz (deg).
using KFallRow = std::array<double, 11>;

// The data rows; *malformed counts rows that are not 11 numbers.
inline std::vector<KFallRow> ReadKFallRows(const std::string& path, int* malformed) {
  std::vector<KFallRow> rows;
  *malformed = 0;
  const std::vector<std::string> lines = test_support::ReadLines(path);
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> f = SplitQuoted(lines[i]);
    KFallRow row{};
    bool ok = f.size() == row.size();
    for (size_t k = 0; ok && k < row.size(); ++k) {
      char* end = nullptr;
      row[k] = std::strtod(f[k].c_str(), &end);
      ok = !f[k].empty() && *end == '\0';
    }
    if (ok) {
      rows.push_back(row);
    } else {
      ++*malformed;
    }
  }
  return rows;
}

// Device recording data rows (after its six header lines): seqno and six
// counts.
using DeviceRow = std::array<long, 7>;

inline std::vector<DeviceRow> ReadDeviceRows(const std::string& path, int* malformed) {
  std::vector<DeviceRow> rows;
  *malformed = 0;
  const std::vector<std::string> lines = test_support::ReadLines(path);
  for (size_t i = 6; i < lines.size(); ++i) {
    const std::vector<std::string> f = SplitQuoted(lines[i]);
    DeviceRow row{};
    bool ok = f.size() == row.size();
    for (size_t k = 0; ok && k < row.size(); ++k) {
      char* end = nullptr;
      row[k] = std::strtol(f[k].c_str(), &end, 10);
      ok = !f[k].empty() && *end == '\0';
    }
    if (ok) {
      rows.push_back(row);
    } else {
      ++*malformed;
    }
  }
  return rows;
}

}  // namespace generated_data

#endif
