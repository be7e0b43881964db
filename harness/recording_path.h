#ifndef HARNESS_RECORDING_PATH_H
#define HARNESS_RECORDING_PATH_H

#include <cstddef>

// The replay's name buffer: trace names of up to 2047 characters, so
// recording paths of up to 2043.
constexpr size_t kTraceNameBufferSize = 2048;

// Everything a replay takes from a recording's path, read from it once.
struct RecordingPath {
  // The last 13 characters of the path (all of it when shorter): the name
  // the detector's diagnostic line shows. Points into the path.
  const char* display_name;
  // The activity type the recording is scored under. A file name of the
  // form ...T<two digits>R<digits>.csv gives those two digits, however many
  // digits the trial has (label files name trial 123 "R123"). Any other path
  // gives the ninth and eighth characters from its end read as two digits,
  // whatever they are, or -1 when it is shorter than nine characters.
  int task_number;
  // The path with its last four characters (the extension) replaced by
  // "_DSV.csv", so the trace lies next to the recording. False when the path
  // is shorter than four characters or the name does not fit the buffer.
  bool has_trace_name;
  char trace_name[kTraceNameBufferSize];
};

void ParseRecordingPath(const char* path, RecordingPath* parsed);

#endif
