// Byte-for-byte guard of everything tumblebench writes: the console output
// (standard output and standard error) and every trace file of whole
// data-set runs, compared by SHA-256 with the digests committed under
// tests/golden/. Any change to formatting, buffering, parsing or arithmetic
// that alters one byte fails here.
//
// The digests are refreshed on purpose only, after a change that is meant to
// alter the output (a retrained model, a generator change, new detector
// behaviour): tools/update_goldens.sh BUILD_DIR, which reruns these tests
// with TUMBLEBENCH_UPDATE_GOLDENS=1. Each manifest also records the digest of
// the fall model and of the generated recordings, so that a failure says
// whether the harness, the model or the generator moved.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/generated_data.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

using test_support::ReadFile;
using test_support::RunCommand;
using test_support::TempDir;
using test_support::TumblebenchPath;

// kind ("model", "input", "stdout", "stderr", "trace") and name -> digest.
using Manifest = std::map<std::pair<std::string, std::string>, std::string>;

fs::path GoldenDir() { return fs::path(TUMBLEBENCH_SOURCE_DIR) / "tests" / "golden"; }
fs::path ModelFile() { return fs::path(TUMBLEBENCH_SOURCE_DIR) / "tumblix" / "ml" / "models" / "fall_model.tflite"; }
fs::path SharedKFall() { return fs::path(TUMBLEBENCH_SOURCE_DIR) / ".." / "shared" / "kfall"; }

bool UpdateMode() {
  const char* value = std::getenv("TUMBLEBENCH_UPDATE_GOLDENS");
  return value != nullptr && std::string(value) == "1";
}

std::string Quoted(const fs::path& path) {
  std::string text = "'";
  for (char c : path.string()) text += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return text + "'";
}

// Digests of the given files (paths relative to root), in one sha256sum run.
std::map<std::string, std::string> Digests(const fs::path& root, const std::vector<std::string>& names) {
  std::map<std::string, std::string> digests;
  if (names.empty()) return digests;
  std::string command = "cd " + Quoted(root) + " && sha256sum --";
  for (const std::string& name : names) command += " " + Quoted(name);
  int status = -1;
  std::istringstream out(RunCommand(command, &status));
  EXPECT_EQ(status, 0) << "sha256sum failed in " << root;
  for (std::string line; std::getline(out, line);) {
    // "<64 hex digits>  <name>"
    if (line.size() > 66) digests[line.substr(66)] = line.substr(0, 64);
  }
  EXPECT_EQ(digests.size(), names.size()) << "sha256sum did not digest every file in " << root;
  return digests;
}

// Files below root whose names end with suffix, as sorted relative paths;
// with exclude_suffix, names ending with it are left out.
std::vector<std::string> FilesBelow(const fs::path& root, const std::string& suffix,
                                    const std::string& exclude_suffix = "") {
  auto ends_with = [](const std::string& s, const std::string& end) {
    return !end.empty() && s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
  };
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = fs::relative(entry.path(), root).string();
    if (ends_with(name, suffix) && !ends_with(name, exclude_suffix)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ManifestText(const std::string& scenario, const Manifest& manifest) {
  std::string text =
      "# tumblebench output digests for the '" + scenario + "' run of tests/output_golden_test.cc.\n"
      "# Refresh only after a deliberate change of the output: tools/update_goldens.sh BUILD_DIR\n";
  for (const auto& [key, digest] : manifest) text += key.first + " " + digest + " " + key.second + "\n";
  return text;
}

bool ReadManifest(const fs::path& path, Manifest* manifest) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string kind, digest, name;
    fields >> kind >> digest;
    std::getline(fields >> std::ws, name);
    (*manifest)[{kind, name}] = digest;
  }
  return true;
}

// What changed between the committed and the current digests, with a hint
// at the cause when the model or the generated input moved.
std::string Differences(const Manifest& expected, const Manifest& actual) {
  std::map<std::string, std::vector<std::string>> changed, missing, extra;
  for (const auto& [key, digest] : expected) {
    const auto found = actual.find(key);
    if (found == actual.end()) {
      missing[key.first].push_back(key.second);
    } else if (found->second != digest) {
      changed[key.first].push_back(key.second);
    }
  }
  for (const auto& [key, digest] : actual) {
    if (expected.count(key) == 0) extra[key.first].push_back(key.second);
  }
  if (changed.empty() && missing.empty() && extra.empty()) return "";

  std::string text;
  auto list = [&text](const char* what, const std::map<std::string, std::vector<std::string>>& groups) {
    for (const auto& [kind, names] : groups) {
      text += "  " + std::string(what) + " " + kind + " (" + std::to_string(names.size()) + "):";
      for (size_t i = 0; i < names.size() && i < 8; ++i) text += " " + names[i];
      if (names.size() > 8) text += " ...";
      text += "\n";
    }
  };
  list("changed", changed);
  list("missing", missing);
  list("unexpected", extra);

  const bool model_moved = changed.count("model") > 0;
  const bool input_moved = changed.count("input") > 0 || missing.count("input") > 0 || extra.count("input") > 0;
  if (model_moved) {
    text += "The fall model (tumblix/ml/models/fall_model.tflite) differs from the one the digests were made with: "
            "after a deliberate retrain, rebuild and refresh them with tools/update_goldens.sh BUILD_DIR.\n";
  }
  if (input_moved) {
    text += "The generated recordings differ from the ones the digests were made with: tumblebench_gen changed. "
            "If that change is deliberate, refresh the digests with tools/update_goldens.sh BUILD_DIR.\n";
  }
  if (!model_moved && !input_moved) {
    text += "Same model, same input, different output: the harness or the detector changed what it writes. "
            "That is a regression unless the change of output is deliberate (then: tools/update_goldens.sh BUILD_DIR).\n";
  }
  return text;
}

struct Run {
  std::string directory;  // relative to the scenario's root
  std::string arguments;
  std::string label;      // names the console output in the manifest
};

// Runs tumblebench as given, digests its console output and every trace
// below root, and compares with (or, in update mode, writes) the scenario's
// manifest. Input recordings (name suffix .csv, not traces) are digested
// when digest_inputs is set.
void CheckScenario(const std::string& scenario, const fs::path& root, const std::vector<Run>& runs,
                   bool digest_inputs) {
  Manifest actual;
  actual[{"model", "fall_model.tflite"}] = Digests(ModelFile().parent_path(), {"fall_model.tflite"})["fall_model.tflite"];
  if (digest_inputs) {
    for (const auto& [name, digest] : Digests(root, FilesBelow(root, ".csv", "_DSV.csv"))) {
      actual[{"input", name}] = digest;
    }
  }

  const fs::path console_dir = root / ".console";
  fs::create_directories(console_dir);
  for (const Run& run : runs) {
    const fs::path out = console_dir / (run.label + ".out");
    const fs::path err = console_dir / (run.label + ".err");
    int status = -1;
    RunCommand("cd " + Quoted(root / run.directory) + " && " + Quoted(TumblebenchPath()) + " " + run.arguments +
                   " >" + Quoted(out) + " 2>" + Quoted(err),
               &status);
    ASSERT_EQ(status, 0) << "tumblebench " << run.arguments << " in " << run.directory << ": "
                         << ReadFile(err.string());
    const auto digests = Digests(console_dir, {out.filename().string(), err.filename().string()});
    actual[{"stdout", run.label}] = digests.at(out.filename().string());
    actual[{"stderr", run.label}] = digests.at(err.filename().string());
  }
  const std::vector<std::string> traces = FilesBelow(root, "_DSV.csv");
  ASSERT_FALSE(traces.empty()) << "no trace was written";
  for (const auto& [name, digest] : Digests(root, traces)) actual[{"trace", name}] = digest;

  const fs::path manifest_path = GoldenDir() / (scenario + ".sha256");
  if (UpdateMode()) {
    fs::create_directories(GoldenDir());
    std::ofstream(manifest_path) << ManifestText(scenario, actual);
    std::printf("wrote %s (%zu digests)\n", manifest_path.string().c_str(), actual.size());
    return;
  }
  Manifest expected;
  ASSERT_TRUE(ReadManifest(manifest_path, &expected))
      << manifest_path << " is missing; make it with tools/update_goldens.sh BUILD_DIR";
  const std::string differences = Differences(expected, actual);
  if (!differences.empty()) {
    // Keep what this run wrote, for a diff against a run of the previous build.
    const fs::path kept = fs::path(TUMBLEBENCH_BINARY_DIR) / "golden-failures" / scenario;
    std::error_code ignored;
    fs::remove_all(kept, ignored);
    fs::create_directories(kept.parent_path());
    fs::copy(root, kept, fs::copy_options::recursive, ignored);
    ADD_FAILURE() << "Output of the '" << scenario << "' run differs from " << manifest_path << ":\n"
                  << differences << "This run's files are kept in " << kept;
  }
}

void Generate(const fs::path& out, const std::string& args) {
  int status = -1;
  const std::string text = generated_data::Generate("--out " + Quoted(out) + " --quiet " + args, &status);
  ASSERT_EQ(status, 0) << text;
}

// One subject, every task, two trials each: falls with in-time, early and
// late detections, daily activities with false alarms, all eight modes'
// console lines and both trigger windows.
TEST(OutputGolden, GeneratedKFallWalk) {
  TempDir root;
  ASSERT_NO_FATAL_FAILURE(Generate(root.path(), "--subjects 1 --trials 2 --seed 11"));
  CheckScenario("generated_kfall", root.path(), {{".", "-r", "r"}}, true);
}

// The device format through its walk: the six header lines, sensor counts,
// no thinning.
TEST(OutputGolden, GeneratedDeviceWalk) {
  TempDir root;
  ASSERT_NO_FATAL_FAILURE(Generate(root.path(), "--format device --subjects 1 --trials 1 --seed 12"));
  CheckScenario("generated_device", root.path(), {{".", "-all", "all"}}, true);
}

// Single-recording forms with labels given on the command line, on a
// recording of each format (the walks above reach the same replay through
// the label files).
TEST(OutputGolden, GeneratedSingleRecordings) {
  TempDir root;
  ASSERT_NO_FATAL_FAILURE(Generate(root.path() / "kfall", "--subjects 1 --trials 1 --seed 13 --tasks 20,30"));
  ASSERT_NO_FATAL_FAILURE(
      Generate(root.path() / "device", "--format device --subjects 1 --trials 1 --seed 13 --tasks 21"));
  CheckScenario("generated_single", root.path(),
                {{"kfall/SA01", "-f S01T20R01.csv 150 190", "f_T20"},
                 {"kfall/SA01", "-f S01T30R01.csv 0 0", "f_T30"},
                 {"device/SA01", "-tf S01T21R01.csv 200 260", "tf_T21"}},
                true);
}

// Real KFall subjects, when the shared recordings are there. Each subject is
// walked on its own, so that no directory order enters the console output.
class OutputGoldenKFall : public ::testing::TestWithParam<const char*> {};

TEST_P(OutputGoldenKFall, SubjectWalk) {
  const std::string subject = GetParam();
  const fs::path archive = SharedKFall() / "sensor_data" / (subject + ".tar.xz");
  if (!fs::exists(archive)) GTEST_SKIP() << "no real KFall recordings at " << SharedKFall() << "; skipped";
  int status = -1;
  RunCommand("/usr/bin/python3 -c 'import openpyxl' 2>/dev/null", &status);
  if (status != 0) GTEST_SKIP() << "kfall_label needs /usr/bin/python3 with openpyxl; skipped";

  TempDir root;
  RunCommand("bash " + Quoted(SharedKFall() / "unpack.sh") + " " + Quoted(root.path()) + " " + subject +
                 " >/dev/null 2>&1",
             &status);
  ASSERT_EQ(status, 0) << "could not unpack " << archive;
  // The label files first, so that the walk's console carries tumblebench's
  // output only (the converter's warnings are its own business).
  const fs::path converter = fs::path(TumblebenchPath()).parent_path() / "kfall_label";
  RunCommand("cd " + Quoted(root.path() / "sensor_data" / subject) + " && " + Quoted(converter) + " " + subject +
                 "_down.csv >/dev/null 2>&1",
             &status);
  ASSERT_EQ(status, 0) << "kfall_label failed for " << subject;
  // The label data is not output; only the sensor folder is digested.
  CheckScenario("kfall_" + subject, root.path() / "sensor_data", {{".", "-r", "r"}}, false);
}

INSTANTIATE_TEST_SUITE_P(Subjects, OutputGoldenKFall, ::testing::Values("SA06", "SA13"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
