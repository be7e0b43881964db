#include "harness/file_utils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

std::vector<std::string> Split(const std::string& text, int max_fields = 8) {
  std::vector<char> line(text.begin(), text.end());
  line.push_back('\0');
  char* fields[16] = {};
  const int count = SplitCsvLine(line.data(), fields, max_fields);
  std::vector<std::string> result;
  for (int i = 0; i < count; ++i) result.emplace_back(fields[i]);
  return result;
}

using Fields = std::vector<std::string>;

TEST(SplitCsvLineTest, FieldsCommasAndLineEnds) {
  EXPECT_EQ(Split(""), Fields{});
  EXPECT_EQ(Split("a,,b"), (Fields{"a", "", "b"}));
  EXPECT_EQ(Split(",a"), (Fields{"", "a"}));
  EXPECT_EQ(Split("x,"), Fields{"x"});
  EXPECT_EQ(Split("x,\n"), (Fields{"x", "\n"}));
  EXPECT_EQ(Split("S06T20,d,1,241,300\n"), (Fields{"S06T20", "d", "1", "241", "300\n"}));
}

TEST(SplitCsvLineTest, QuotesOnlyAtAFieldStartAndKept) {
  EXPECT_EQ(Split("a,\"b,c\",d"), (Fields{"a", "\"b,c\"", "d"}));
  // Whatever follows the closing quote up to the next comma stays in the field.
  EXPECT_EQ(Split("\"ab\"cd,e"), (Fields{"\"ab\"cd", "e"}));
  // A doubled quote is no escape: the first of the two closes the quoted part.
  EXPECT_EQ(Split("\"a\"\"b,c\",d"), (Fields{"\"a\"\"b", "c\"", "d"}));
  // A quote inside a field shields nothing.
  EXPECT_EQ(Split("a\"b,c\",d"), (Fields{"a\"b", "c\"", "d"}));
  // An unclosed quote runs to the end of the text.
  EXPECT_EQ(Split("x,\"open,still"), (Fields{"x", "\"open,still"}));
}

TEST(SplitCsvLineTest, StopsAtTheMaximum) {
  EXPECT_EQ(Split("0,1,2,3,4,5,6,7,8,9"), (Fields{"0", "1", "2", "3", "4", "5", "6", "7"}));
  EXPECT_EQ(Split("a,b,c", 1), Fields{"a"});

  char line[] = "a,b";
  char* fields[1] = {nullptr};
  EXPECT_EQ(SplitCsvLine(line, fields, 0), 0);
  EXPECT_EQ(fields[0], nullptr);
  EXPECT_STREQ(line, "a,b");  // nothing cut when no field may be returned
}

TEST(FileUtilsTest, AppendLineCreatesThenAppends) {
  TempDir dir;
  const std::string path = dir.File("list.csv");
  EXPECT_TRUE(AppendLine(path.c_str(), "first"));
  EXPECT_EQ(ReadFile(path), "first\n");
  EXPECT_TRUE(AppendLine(path.c_str(), "second"));
  EXPECT_EQ(ReadFile(path), "first\nsecond\n");
  EXPECT_FALSE(AppendLine(dir.File("missing/list.csv").c_str(), "x"));
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

TEST(FileUtilsTest, RemoveAndReadability) {
  TempDir dir;
  const std::string path = dir.File("a.csv");
  WriteFile(dir.File("other.csv"), "keep");
  EXPECT_FALSE(IsFileReadable(path.c_str()));
  EXPECT_FALSE(RemoveFile(path.c_str()));
  EXPECT_EQ(ReadFile(dir.File("other.csv")), "keep");

  WriteFile(path, "x\n");
  EXPECT_TRUE(IsFileReadable(path.c_str()));
  EXPECT_TRUE(RemoveFile(path.c_str()));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(FileUtilsTest, CurrentDirectoryReadAndChanged) {
  const std::filesystem::path before = std::filesystem::current_path();
  TempDir dir;
  const std::string target = std::filesystem::canonical(dir.path()).string();

  EXPECT_FALSE(ChangeDir(dir.File("nowhere").c_str()));
  EXPECT_EQ(std::filesystem::current_path(), before);
  ASSERT_TRUE(ChangeDir(target.c_str()));
  char buffer[1024];
  const bool read = GetCurrentDir(buffer, sizeof(buffer));
  // Room for the text but not for its terminator.
  std::vector<char> exact(target.size());
  const bool fits_exact = GetCurrentDir(exact.data(), static_cast<int>(exact.size()));
  std::filesystem::current_path(before);

  ASSERT_TRUE(read);
  EXPECT_EQ(std::string(buffer), target);
  EXPECT_FALSE(fits_exact);
  EXPECT_FALSE(GetCurrentDir(buffer, 0));
}

}  // namespace
