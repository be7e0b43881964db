#include "harness/kfall_tasks.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

// The table built into the harness against the file the Python tools read,
// parsed here on its own: a mistake in the build's generation (a row lost,
// a description cut or escaped differently, a wrong fall range) shows.
TEST(KFallTasks, BuiltInTableIsTheSharedFile) {
  std::ifstream file(TUMBLEBENCH_SOURCE_DIR "/tumblebench/kfall/tasks.tsv");
  ASSERT_TRUE(file.is_open());
  std::string line;
  int rows = 0;
  int falls = 0;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#' || line.rfind("task\t", 0) == 0) continue;
    const size_t first_tab = line.find('\t');
    const size_t second_tab = line.find('\t', first_tab + 1);
    ASSERT_NE(second_tab, std::string::npos) << line;
    const int task = std::stoi(line.substr(0, first_tab));
    const std::string kind = line.substr(first_tab + 1, second_tab - first_tab - 1);
    ++rows;
    ASSERT_EQ(task, rows) << line;
    ASSERT_LT(task, kKFallTaskCount);
    EXPECT_EQ(std::string(kKFallTaskTable[task]), line.substr(second_tab + 1));
    EXPECT_EQ(IsFallTask(task), kind == "fall") << line;
    falls += kind == "fall";
  }
  EXPECT_EQ(kKFallTaskCount, rows + 1);
  EXPECT_STREQ(kKFallTaskTable[0], "null");
  EXPECT_EQ(falls, 15);
  // Task numbers outside the table are daily activities.
  for (int task : {-1, 0, kKFallTaskCount, 39, 99}) EXPECT_FALSE(IsFallTask(task)) << task;
}

}  // namespace
