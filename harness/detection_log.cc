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
    // The impact frame may be any int (the command line takes it as given),
    // so the distance is taken in a wider type.
    std::printf("Late Detect : %d, wDownMode : %d (%lld)\n", index, log->first_mode,
                static_cast<long long>(index) - impact);
  }
}
