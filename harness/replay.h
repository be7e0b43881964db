#ifndef HARNESS_REPLAY_H
#define HARNESS_REPLAY_H

#include "tumblix/raw_sample.h"

struct TumblixDetector;

// Replays one recording through a fresh detector, writes its trace next to
// it, prints the detection timing against the onset and impact frames (0-based
// sample indexes; 0 and 0 for no label) and scores it. 0 when the recording
// was replayed and scored, -1 when it was not replayed.
int ReplayDeviceRecording(const char* path, int onset, int impact);
int ReplayKFallRecording(const char* path, int onset, int impact);

// Runs the detector on one sample and writes its trace row; returns the mode.
int ProcessSample(TumblixDetector* detector, const RawSample* sample, int onset, int impact);

#endif
