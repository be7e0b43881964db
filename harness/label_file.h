#ifndef HARNESS_LABEL_FILE_H
#define HARNESS_LABEL_FILE_H

// Label files list the trials of one subject, one per line after a header:
// task code, description, trial number, fall onset frame, fall impact frame.
// An empty task code carries the one of the line before.

constexpr int kLabelLineBufferSize = 1024;
constexpr int kLabelFieldSlots = 8;
constexpr int kTaskCodeBufferSize = 16;  // task codes hold at most 15 characters
constexpr int kRecordingNameBufferSize = 48;

// The header line of label files and of the trouble-maker list.
extern const char kLabelHeader[];

// One usable trial line, with the frames as the file gives them.
struct LabelTrial {
  const char* task_code;
  int trial;
  int onset;
  int impact;
};

using LabelTrialHandler = void (*)(const LabelTrial* trial, void* context);

// Calls handler for every trial line that names a recording, in file order.
// Lines without five fields print the invalid-string message and are used
// when they still hold a trial number; lines that cannot name a recording are
// reported on standard error and skipped. -1 when the file cannot be opened
// (nothing printed) or could not be read to its end, else 0.
int ForEachLabelTrial(const char* label_path, LabelTrialHandler handler, void* context);

// The recording name "%sR%02d.csv"; false when it does not fit into size bytes.
bool FormRecordingName(const char* task_code, int trial, char* buffer, int size);

// Replays every trial a KFall label file lists; -1 when it cannot be opened.
int RunKFallLabelFile(const char* label_path);
// Replays every trial a label file lists as a device recording; -1 when it
// cannot be opened.
int RunDeviceLabelFile(const char* label_path);

#endif
