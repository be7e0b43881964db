#ifndef TUMBLIX_TUMBLIX_H
#define TUMBLIX_TUMBLIX_H

#include <cstdint>

#include "tumblix/ml/fall_classifier.h"
#include "tumblix/motion_features.h"
#include "tumblix/raw_sample.h"

struct TumblixConfig {
  FallClassifierConfig classifier;
  int32_t feature_config;  // reserved: copied into the features, read by nothing
};

// One detector serves one recording. It must stay at one address between
// create and destroy: the classifier keeps pointers into its own arena.
struct TumblixDetector {
  TumblixConfig config;
  FallClassifier classifier;
  MotionFeatures features;
  int32_t sample_count;  // 1 for the first sample
  int32_t detect_count;
  int32_t window_end;    // first sample number after the detection window
  int32_t x1_frame;      // latest X1 trigger, negative for none
  int32_t x2_frame;      // latest X2 trigger
  int32_t mode2_run;
  int32_t mode7_run;
};

// The detection window stays open for this many samples after a
// low-acceleration sample, and cannot open before this sample number.
constexpr int32_t kDetectionWindowLength = 25;
constexpr int32_t kFirstDetectableSample = 25;
// raw_acc at or below this (hundredths of g) opens the window.
constexpr int32_t kLowAccelerationGate = 90;

int tumblix_default_config(TumblixConfig* config);
TumblixDetector* tumblix_create(TumblixDetector* detector, const TumblixConfig* config);
int tumblix_process(TumblixDetector* detector, const RawSample* sample);
void tumblix_destroy(TumblixDetector* detector);
const char* tumblix_version();

#endif
