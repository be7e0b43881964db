#include "harness/recording_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The ninth and eighth characters from the end of a path, read as digits
// whatever they are: the rule for names without the trial pattern.
int FromTheEnd(const std::string& path) {
  return 10 * (path[path.size() - 9] - '0') + (path[path.size() - 8] - '0');
}

TEST(RecordingPathTest, DisplayNameTaskAndTraceFromOnePath) {
  const struct {
    std::string path;
    const char* display_name;
    int task;
    const char* trace;  // nullptr: none can be formed
  } cases[] = {
      {"/x/S06T20R01.csv", "S06T20R01.csv", 20, "/x/S06T20R01_DSV.csv"},
      {"S06T07R01.csv", "S06T07R01.csv", 7, "S06T07R01_DSV.csv"},
      {"T35R01.csv", "T35R01.csv", 35, "T35R01_DSV.csv"},
      // Trials of one and of three or more digits, as label files name them.
      {"S06T25R102.csv", "06T25R102.csv", 25, "S06T25R102_DSV.csv"},
      {"S06T10R101.csv", "06T10R101.csv", 10, "S06T10R101_DSV.csv"},
      {"SA06/S06T20R1.csv", "/S06T20R1.csv", 20, "SA06/S06T20R1_DSV.csv"},
      {"S06T33R2147483647.csv", "147483647.csv", 33, "S06T33R2147483647_DSV.csv"},
      // Only the file name counts, and only when it ends in the pattern.
      {"T20R05.csv/S01T06R01.csv", "S01T06R01.csv", 6, "T20R05.csv/S01T06R01_DSV.csv"},
      {"S06T2xR101.csv", "06T2xR101.csv", FromTheEnd("S06T2xR101.csv"), "S06T2xR101_DSV.csv"},
      {"SA06/T20R.csv", "SA06/T20R.csv", FromTheEnd("SA06/T20R.csv"), "SA06/T20R_DSV.csv"},
      {"S06T25R102.txt", "06T25R102.txt", FromTheEnd("S06T25R102.txt"), "S06T25R102_DSV.csv"},
      {"walk01.csv", "walk01.csv", FromTheEnd("walk01.csv"), "walk01_DSV.csv"},
      {"R1.csv", "R1.csv", -1, "R1_DSV.csv"},
      {".csv", ".csv", -1, "_DSV.csv"},
      {"abc", "abc", -1, nullptr},
      {"", "", -1, nullptr},
      // The longest path whose trace name fits the buffer, and one more.
      {std::string(kTraceNameBufferSize - 5 - 13, 'p') + "S01T06R01.csv", "S01T06R01.csv", 6,
       "fits"},
      {std::string(kTraceNameBufferSize - 4 - 13, 'p') + "S01T06R01.csv", "S01T06R01.csv", 6, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 40));
    RecordingPath parsed;
    ParseRecordingPath(c.path.c_str(), &parsed);
    EXPECT_STREQ(parsed.display_name, c.display_name);
    EXPECT_EQ(parsed.task_number, c.task);
    EXPECT_EQ(parsed.has_trace_name, c.trace != nullptr);
    if (c.trace == nullptr) {
      EXPECT_STREQ(parsed.trace_name, "");
    } else if (std::string(c.trace) == "fits") {
      EXPECT_EQ(std::string(parsed.trace_name), c.path.substr(0, c.path.size() - 4) + "_DSV.csv");
    } else {
      EXPECT_STREQ(parsed.trace_name, c.trace);
    }
  }
}

}  // namespace
