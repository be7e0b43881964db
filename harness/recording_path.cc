#include "harness/recording_path.h"

#include <cstring>

#include "tumblix/display_name.h"

namespace {

constexpr char kTraceSuffix[] = "_DSV.csv";
constexpr size_t kReplacedLength = 4;  // the extension, ".csv" in KFall and device files

constexpr char kTrialExtension[] = ".csv";
constexpr size_t kTrialExtensionLength = sizeof(kTrialExtension) - 1;
// Where a name lacks the trial pattern, the task digits are read at these
// places from the end, right for SxxTyyRzz.csv.
constexpr size_t kTaskTensFromEnd = 9;
constexpr size_t kTaskUnitsFromEnd = 8;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The task of a file name ending in T<two digits>R<digits>.csv; -1 when the
// name does not end that way.
int TaskFromTrialName(const char* name, size_t length) {
  if (length < kTrialExtensionLength ||
      std::memcmp(name + length - kTrialExtensionLength, kTrialExtension, kTrialExtensionLength) != 0) {
    return -1;
  }
  const size_t trial_end = length - kTrialExtensionLength;
  size_t trial_start = trial_end;
  while (trial_start > 0 && IsDigit(name[trial_start - 1])) --trial_start;
  if (trial_start == trial_end || trial_start < 4) return -1;
  const char* code = name + trial_start - 4;  // "Tyy" and "R"
  if (code[0] != 'T' || !IsDigit(code[1]) || !IsDigit(code[2]) || code[3] != 'R') return -1;
  return 10 * (code[1] - '0') + (code[2] - '0');
}

int TaskNumber(const char* path, size_t length) {
  const char* slash = std::strrchr(path, '/');
  const char* name = slash == nullptr ? path : slash + 1;
  const int task = TaskFromTrialName(name, length - static_cast<size_t>(name - path));
  if (task >= 0) return task;
  if (length < kTaskTensFromEnd) return -1;
  const char tens = path[length - kTaskTensFromEnd];
  const char units = path[length - kTaskUnitsFromEnd];
  return 10 * (tens - '0') + (units - '0');
}

bool FormTraceName(const char* path, size_t length, char* out, size_t out_size) {
  if (length < kReplacedLength) return false;
  const size_t stem = length - kReplacedLength;
  if (stem + sizeof(kTraceSuffix) > out_size) return false;
  std::memcpy(out, path, stem);
  std::memcpy(out + stem, kTraceSuffix, sizeof(kTraceSuffix));
  return true;
}

}  // namespace

void ParseRecordingPath(const char* path, RecordingPath* parsed) {
  const size_t length = std::strlen(path);
  const size_t display_length = static_cast<size_t>(kDisplayNameLength);
  parsed->display_name = length > display_length ? path + (length - display_length) : path;
  parsed->task_number = TaskNumber(path, length);
  parsed->has_trace_name = FormTraceName(path, length, parsed->trace_name, sizeof(parsed->trace_name));
  if (!parsed->has_trace_name) parsed->trace_name[0] = '\0';
}
