#include "harness/label_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "harness/file_utils.h"
#include "harness/missing_results.h"
#include "harness/replay.h"
#include "harness/text_to_int.h"

const char kLabelHeader[] =
    "Task Code (Task ID),Description,Trial ID,Fall_onset_frame,Fall_impact_frame";

namespace {

constexpr int kWellFormedFields = 5;
constexpr int kTrialField = 2;
constexpr int kOnsetField = 3;
constexpr int kImpactField = 4;

// Where the current task code comes from; trials under a code that could not
// be kept must not be filed under another task.
enum class TaskCodeState { kNone, kValid, kTooLong };

// How the lines of a label file end. Most files end them in LF or CR LF;
// spreadsheet programs also write lone CRs ("CSV (Macintosh)"). The header
// line decides: when it ends in a lone CR, every lone CR ends a line;
// otherwise only LF does, and a CR is part of the line as it always was.
enum class LineEnds { kUndecided, kLineFeed, kCarriageReturn };

// Reads one line into buffer, its line end kept (a lone CR is kept as LF, so
// that the line prints as a line of its own). A line that does not fit,
// line end included, is consumed to its end and reported through
// fits = false, so its tail never passes for a line. False at the end of
// the file.
bool ReadLabelLine(FILE* file, LineEnds* ends, char* buffer, int size, bool* fits) {
  const size_t capacity = static_cast<size_t>(size) - 1;
  constexpr size_t kNoNul = static_cast<size_t>(-1);
  size_t length = 0;  // of the whole line, past the buffer too
  size_t first_nul = kNoNul;
  auto keep = [&](char c) {
    if (length < capacity) buffer[length] = c;
    ++length;
  };
  int c = std::getc(file);
  if (c == EOF) return false;
  bool ended = false;
  for (; c != EOF; c = std::getc(file)) {
    if (c == '\n') {
      keep('\n');
      if (*ends == LineEnds::kUndecided) *ends = LineEnds::kLineFeed;
      ended = true;
      break;
    }
    if (c == '\r' && *ends != LineEnds::kLineFeed) {
      const int next = std::getc(file);
      if (next == '\n') {
        keep('\r');
        keep('\n');
        if (*ends == LineEnds::kUndecided) *ends = LineEnds::kLineFeed;
      } else {
        if (next != EOF) std::ungetc(next, file);
        keep('\n');
        *ends = LineEnds::kCarriageReturn;
      }
      ended = true;
      break;
    }
    if (c == '\0' && first_nul == kNoNul) first_nul = length;
    keep(static_cast<char>(c));
  }
  *fits = length <= capacity;
  buffer[*fits ? length : capacity] = '\0';
  // Text after a NUL byte cannot be shown or split; the line keeps its line
  // end, so that it prints as a line of its own.
  if (*fits && ended && first_nul != kNoNul) std::memcpy(buffer + first_nul, "\n", 2);
  return true;
}

// A trial number or frame as the text-to-integer rules read it. The line
// end that the last field carries is not part of the number; an empty
// field reads 0 without a word, as it always has.
int ReadLabelNumber(const char* field, const char* where, const char* what) {
  char text[kLabelLineBufferSize];
  const size_t length = std::strcspn(field, "\r\n");
  if (length == 0 || length >= sizeof(text)) return TextToInt(field);
  std::memcpy(text, field, length);
  text[length] = '\0';
  return TextToIntNamed(text, where, what);
}

void ReplayKFallTrial(const LabelTrial* trial, void* /*context*/) {
  char name[kRecordingNameBufferSize];
  if (!FormRecordingName(trial->task_code, trial->trial, name, sizeof(name))) return;
  // Label frames count at 100 per second; the replay keeps every second sample.
  const int onset = trial->onset / 2;
  const int impact = trial->impact / 2;
  std::printf("\n\n%s : %4d, %4d\n\n", name, onset, impact);
  ReplayKFallRecording(name, onset, impact);
}

void ReplayDeviceTrial(const LabelTrial* trial, void* /*context*/) {
  char name[kRecordingNameBufferSize];
  if (!FormRecordingName(trial->task_code, trial->trial, name, sizeof(name))) return;
  ReplayDeviceRecording(name, 0, 0);
}

}  // namespace

bool FormRecordingName(const char* task_code, int trial, char* buffer, int size) {
  if (size <= 0) return false;
  const int length = std::snprintf(buffer, static_cast<size_t>(size), "%sR%02d.csv", task_code, trial);
  return length >= 0 && length < size;
}

int ForEachLabelTrial(const char* label_path, LabelTrialHandler handler, void* context) {
  struct stat info;
  int open_error = 0;
  FILE* file = OpenRegularFile(label_path, &info, &open_error);
  if (file == nullptr) {
    if (open_error == 0) {
      std::fprintf(stderr, "tumblebench: %s, the label file is %s, not a regular file; skipped.\n",
                   label_path, FileKindName(info.st_mode));
    }
    // The caller names the file; its trials are missing from the report.
    NoteFileNotOpened(open_error);
    return -1;
  }

  char line[kLabelLineBufferSize];
  char split[kLabelLineBufferSize];
  char szTypeString[kTaskCodeBufferSize] = "";
  TaskCodeState code_state = TaskCodeState::kNone;
  LineEnds ends = LineEnds::kUndecided;
  bool fits = true;
  int line_number = 1;

  if (!ReadLabelLine(file, &ends, line, sizeof(line), &fits) && !std::ferror(file)) {
    // Not even a header: a converter or copy that wrote nothing.
    std::fprintf(stderr, "tumblebench: %s, the label file is empty; skipped.\n", label_path);
  }
  const bool header_fits = fits;
  while (ReadLabelLine(file, &ends, line, sizeof(line), &fits)) {
    ++line_number;
    if (!fits) {
      std::fprintf(stderr, "tumblebench: %s, line %d does not fit %d bytes; skipped.\n", label_path,
                   line_number, kLabelLineBufferSize);
      continue;
    }
    // The split cuts its copy; the message shows the line as read.
    std::memcpy(split, line, std::strlen(line) + 1);
    char* szLineVars[kLabelFieldSlots];
    const int count = SplitCsvLine(split, szLineVars, kLabelFieldSlots);
    if (count != kWellFormedFields) std::printf("tumblebench: invalid string, %s", line);
    if (count <= kTrialField) {
      std::fprintf(stderr, "tumblebench: %s, line %d has no trial number; skipped.\n", label_path,
                   line_number);
      continue;
    }

    const char* code = szLineVars[0];
    if (code[0] != '\0') {
      if (std::strlen(code) >= sizeof(szTypeString)) {
        std::fprintf(stderr,
                     "tumblebench: %s, line %d: task code %s is longer than %d characters; "
                     "its trials are skipped.\n",
                     label_path, line_number, code, kTaskCodeBufferSize - 1);
        code_state = TaskCodeState::kTooLong;
        continue;
      }
      std::memcpy(szTypeString, code, std::strlen(code) + 1);
      code_state = TaskCodeState::kValid;
    } else if (code_state != TaskCodeState::kValid) {
      std::fprintf(stderr, "tumblebench: %s, line %d: %s; skipped.\n", label_path, line_number,
                   code_state == TaskCodeState::kNone ? "no task code before this line"
                                                      : "the task code in force is too long");
      continue;
    }

    char where[kLabelLineBufferSize + 32];
    std::snprintf(where, sizeof(where), "%s, line %d: ", label_path, line_number);
    LabelTrial trial;
    trial.task_code = szTypeString;
    trial.trial = ReadLabelNumber(szLineVars[kTrialField], where, "trial number");
    // Missing frame fields read as empty ones do: 0.
    trial.onset = count > kOnsetField ? ReadLabelNumber(szLineVars[kOnsetField], where, "onset frame") : 0;
    trial.impact = count > kImpactField ? ReadLabelNumber(szLineVars[kImpactField], where, "impact frame") : 0;
    handler(&trial, context);
  }

  const bool read_failed = std::ferror(file) != 0;
  std::fclose(file);
  if (read_failed) {
    std::fprintf(stderr, "tumblebench: %s, read error; the trials after line %d are missing.\n",
                 label_path, line_number);
    return -1;
  }
  if (!header_fits && line_number == 1) {
    // One overlong line and nothing else: line ends the reader does not
    // know, or no label file at all.
    std::fprintf(stderr,
                 "tumblebench: %s, its only line runs past %d bytes, so no trial can be read; "
                 "skipped.\n",
                 label_path, kLabelLineBufferSize - 1);
  }
  return 0;
}

int RunKFallLabelFile(const char* label_path) {
  return ForEachLabelTrial(label_path, ReplayKFallTrial, nullptr);
}

int RunDeviceLabelFile(const char* label_path) {
  return ForEachLabelTrial(label_path, ReplayDeviceTrial, nullptr);
}
