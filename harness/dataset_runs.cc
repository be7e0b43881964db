#include "harness/dataset_runs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "harness/build_info.h"
#include "harness/command_line.h"
#include "harness/file_utils.h"
#include "harness/label_file.h"
#include "harness/walk_subjects.h"
#include "tumblix/tumblix.h"

#ifndef TUMBLEBENCH_TROUBLEMAKER_LIST
#error "TUMBLEBENCH_TROUBLEMAKER_LIST must name the trouble-maker list"
#endif

namespace {

constexpr int kRootBufferSize = 1024;

enum class WalkKind { kKFall, kDevice };

int RunWalkOverCurrentDir(WalkKind kind, int label_type) {
  char root[kRootBufferSize];
  if (!GetCurrentDir(root, sizeof(root))) {
    // A truncated or unreadable root would walk some other folder.
    std::fprintf(stderr,
                 "tumblebench: the current directory cannot be read or is longer than %d "
                 "bytes; no walk.\n",
                 kRootBufferSize - 1);
    return -1;
  }
  return kind == WalkKind::kKFall ? WalkKFallSubjects(root, label_type)
                                  : WalkDeviceSubjects(root, kLabelTypeDown);
}

}  // namespace

const char* TroubleMakerListPath() { return TUMBLEBENCH_TROUBLEMAKER_LIST; }

bool ResetTroubleMakerList(const char* path) {
  if (!RemoveFile(path) && IsFileReadable(path)) {
    // Appending to a list that is still there would bury the header in it.
    std::fprintf(stderr, "tumblebench: %s, the trouble-maker list could not be removed.\n", path);
    return false;
  }
  if (!AppendLine(path, kLabelHeader)) {
    std::fprintf(stderr, "tumblebench: %s, the trouble-maker list could not be written.\n", path);
    return false;
  }
  return true;
}

int RunDataSetCommand(const char* argument) {
  if (std::strcmp(argument, "-r") == 0) return RunWalkOverCurrentDir(WalkKind::kKFall, kLabelTypeAll);
  if (std::strcmp(argument, "-r1") == 0) {
    return RunWalkOverCurrentDir(WalkKind::kKFall, kLabelTypeDown);
  }
  if (std::strcmp(argument, "-r2") == 0) {
    return RunWalkOverCurrentDir(WalkKind::kKFall, kLabelTypeAdl);
  }
  if (std::strcmp(argument, "-r10") == 0) {
    ResetTroubleMakerList(TroubleMakerListPath());
    return RunWalkOverCurrentDir(WalkKind::kKFall, kLabelTypeAll);
  }
  if (std::strcmp(argument, "-all") == 0) return RunWalkOverCurrentDir(WalkKind::kDevice, 0);
  // Options people try first. Alone on the command line each is a label
  // file's path like any other word, so the run goes on and ends with its
  // empty report; what the user asked for goes to standard error first.
  if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
    PrintUsage(stderr);
    std::fprintf(stderr, "          tumblebench -all\n"
                         "(A lone argument other than -r, -r1, -r2, -r10 and -all is read as the path "
                         "of a label file.)\n");
  } else if (std::strcmp(argument, "--version") == 0) {
    std::fprintf(stderr, "tumblebench %s (%s), commit %s\n", ProgramVersion(), tumblix_version(),
                 BuildCommit());
  }
  const int result = RunKFallLabelFile(argument);
  // Without a word here, a mistyped name would end in an empty report.
  if (result != 0 && !IsFileReadable(argument)) {
    std::fprintf(stderr, "tumblebench: %s, the label file cannot be opened (%s); skipped.\n", argument,
                 std::strerror(errno));
  }
  return result;
}
