#include "harness/detection_log.h"

#include <cstdio>

void NoteDetection(DetectionLog* log, int mode, int index, int onset, int impact) {
  log->count += 1;
  if (log->count == 1) {
    log->first_mode = mode;
    log->first_frame = index;
  }
  if (onset <= 0) return;
  if (onset <= index && index < impact) {
    std::printf("InTime Detect : %d, wDownMode : %d\n", index, log->first_mode);
  } else if (index < onset) {
    std::printf("Early Detect : %d, wDownMode : %d (%d)\n", index, log->first_mode,
                onset - index);
  } else {
    std::printf("Late Detect : %d, wDownMode : %d (%d)\n", index, log->first_mode,
                index - impact);
  }
}
