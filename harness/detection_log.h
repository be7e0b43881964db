#ifndef HARNESS_DETECTION_LOG_H
#define HARNESS_DETECTION_LOG_H

// Detections of one replay: how many samples returned a mode, and the first
// one's mode and 0-based sample index (both 0 while there is none).
struct DetectionLog {
  int count;
  int first_mode;
  int first_frame;
};

// Books a sample that returned mode > 0 and, for a labelled recording
// (onset > 0), prints whether it came in time, early or late. The line names
// the first detection's mode, not this one's.
void NoteDetection(DetectionLog* log, int mode, int index, int onset, int impact);

#endif
