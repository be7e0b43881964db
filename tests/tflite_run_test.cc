// tools/tflite_run end to end: its output lines against the reference
// vectors' expected files, and its exit status on bad use.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tflite_test_models.h"

namespace {

std::string ToolPath() { return std::string(TUMBLEBENCH_BINARY_DIR) + "/tools/tflite_run"; }

bool ToolBuilt() { return std::ifstream(ToolPath()).good(); }

// Runs the tool with `arguments`; returns its exit status and stdout.
int RunTool(const std::string& arguments, std::string* out) {
  const std::string command = ToolPath() + " " + arguments + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out->append(buffer, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The result lines: everything but the header line and '#' comments.
std::vector<std::string> ResultLines(std::istream& in) {
  std::vector<std::string> lines;
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (header) {
      header = false;
      continue;
    }
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

TEST(TfliteRunTool, PrintsTheExpectedFilesResultLinesByteForByte) {
  if (!ToolBuilt()) GTEST_SKIP() << "tflite_run is not built at " << ToolPath();
  const std::string dir = tflite_test::VectorsDir();
  if (!std::ifstream(dir + "/mlp.tflite").good()) GTEST_SKIP() << "reference vectors not found in " << dir;
  const char* cases[][3] = {{"mlp.tflite", "mlp_inputs.txt", "mlp_expected.txt"},
                            {"logistic_only.tflite", "unary_inputs.txt", "logistic_expected.txt"},
                            {"softmax_only.tflite", "unary_inputs.txt", "softmax_expected.txt"}};
  for (const auto& c : cases) {
    std::string out;
    ASSERT_EQ(RunTool(dir + "/" + c[0] + " " + dir + "/" + c[1], &out), 0) << c[0];
    EXPECT_EQ(out.rfind("arena_used_bytes=", 0), 0u) << out.substr(0, 80);
    std::istringstream produced(out);
    std::ifstream expected(dir + "/" + c[2]);
    EXPECT_EQ(ResultLines(produced), ResultLines(expected)) << c[0];
  }
}

TEST(TfliteRunTool, BadUseAndBadFilesFailWithTheirOwnStatus) {
  if (!ToolBuilt()) GTEST_SKIP() << "tflite_run is not built at " << ToolPath();
  const std::string dir = ::testing::TempDir();
  const std::string model = dir + "/tflite_run_probe.tflite";
  const std::string inputs = dir + "/tflite_run_inputs.txt";
  const std::string garbage = dir + "/tflite_run_garbage.tflite";
  ASSERT_TRUE(tflite_test::WriteBytes(model, tflite_test::BuildModel(tflite_test::ProbeModel({0, 149}))));
  ASSERT_TRUE(tflite_test::WriteBytes(garbage, std::vector<uint8_t>(100, 0x5a)));
  std::string line;
  for (int i = 0; i < 150; ++i) line += std::to_string(i) + " ";
  std::ofstream(inputs) << "# probe\n" << line << "\n";

  std::string out;
  EXPECT_EQ(RunTool("", &out), 1);
  EXPECT_EQ(RunTool("--arena " + model + " " + inputs, &out), 1);
  EXPECT_EQ(RunTool(garbage + " " + inputs, &out), 2);
  EXPECT_EQ(RunTool(dir + "/no_such_model.tflite " + inputs, &out), 2);
  EXPECT_EQ(RunTool("--arena 64 " + model + " " + inputs, &out), 2);
  EXPECT_EQ(RunTool(model + " " + model, &out), 2) << "a binary file is no input text";

  out.clear();
  ASSERT_EQ(RunTool(model + " " + inputs, &out), 0);
  EXPECT_NE(out.find("\n2 invoke=0 0 0x00000000 149 0x43150000\n"), std::string::npos) << out;
}

}  // namespace
