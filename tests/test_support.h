#ifndef TESTS_TEST_SUPPORT_H
#define TESTS_TEST_SUPPORT_H

#include <filesystem>
#include <string>
#include <vector>

namespace test_support {

// A fresh folder under the system's temporary directory, removed with the
// object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);

// A KFall trial body: the title line and `rows` data lines at 100 per second,
// each with the given acceleration (g) and angular rate (deg/s).
std::string KFallRecording(int rows, double ax = 0.0, double ay = -1.0, double az = 0.0,
                           double gx = 0.0, double gy = 0.0, double gz = 0.0);

// The trace a replay of `recording` writes, as the replay names it.
std::string TraceOf(const std::string& recording);

// Runs a command line through the shell and returns its standard output;
// *status receives the exit status.
std::string RunCommand(const std::string& command, int* status);

// The tumblebench executable under test.
std::string TumblebenchPath();

// What one run of a program printed, kept apart, and its exit status.
struct RunResult {
  std::string out;
  std::string err;
  int status = -1;
};

// Runs tumblebench with `args` (shell words) in `dir`.
RunResult RunIn(const std::filesystem::path& dir, const std::string& args);

}  // namespace test_support

#endif
