#ifndef TUMBLIX_TUMBLIX_H
#define TUMBLIX_TUMBLIX_H

#include <cstdint>

#include "tumblix/ml/fall_classifier.h"
#include "tumblix/motion_features.h"
#include "tumblix/raw_sample.h"
#include "tumblix/rule_set.h"

struct TumblixConfig {
  FallClassifierConfig classifier;
  int32_t feature_config;  // reserved: copied into the features, read by nothing
  TumblixRules rules;      // the gate's and the decision rules' values
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

// The detection window cannot open before the classifier's window holds
// real samples only. How low raw_acc must be to open it and how long it
// stays open are rule values (config.rules.window).
constexpr int32_t kFirstDetectableSample = kClassifierWindowRows;

int tumblix_default_config(TumblixConfig* config);
TumblixDetector* tumblix_create(TumblixDetector* detector, const TumblixConfig* config);
int tumblix_process(TumblixDetector* detector, const RawSample* sample);
void tumblix_destroy(TumblixDetector* detector);
const char* tumblix_version();

#endif
