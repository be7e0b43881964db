#include "tests/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "harness/recording_path.h"

namespace test_support {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tumblebench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string KFallRecording(int rows, double ax, double ay, double az, double gx, double gy,
                           double gz) {
  std::string text = "TimeStamp(s),FrameCounter,AccX,AccY,AccZ,GyrX,GyrY,GyrZ,EulerX,EulerY,EulerZ\n";
  char line[256];
  for (int i = 0; i < rows; ++i) {
    std::snprintf(line, sizeof(line), "%.2f,%d,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,0.0,0.0,0.0\n",
                  i * 0.01, i, ax, ay, az, gx, gy, gz);
    text += line;
  }
  return text;
}

std::string TraceOf(const std::string& recording) {
  RecordingPath names;
  ParseRecordingPath(recording.c_str(), &names);
  return names.trace_name;
}

std::string RunCommand(const std::string& command, int* status) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen failed");
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
  const int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return output;
}

std::string TumblebenchPath() {
  const char* from_env = std::getenv("TUMBLEBENCH_BIN");
  if (from_env != nullptr && *from_env != '\0') return from_env;
  return std::string(TUMBLEBENCH_BINARY_DIR) + "/harness/tumblebench";
}

RunResult RunIn(const std::filesystem::path& dir, const std::string& args) {
  TempDir err_dir;
  RunResult run;
  run.out = RunCommand("cd '" + dir.string() + "' && '" + TumblebenchPath() + "' " + args + " 2>'" +
                           err_dir.File("err") + "'",
                       &run.status);
  run.err = ReadFile(err_dir.File("err"));
  return run;
}

}  // namespace test_support
