#include "tumblix/tumblix.h"

#include <cstring>

#include "tumblix/decision_rules.h"

int tumblix_default_config(TumblixConfig* config) {
  ml_tumblix_default_config(&config->classifier);
  motion_features_default_config(&config->feature_config);
  tumblix_default_rules(&config->rules);
  return 0;
}

TumblixDetector* tumblix_create(TumblixDetector* detector, const TumblixConfig* config) {
  std::memset(detector, 0, sizeof(*detector));
  detector->config = *config;
  if (ml_tumblix_create(&detector->classifier, &detector->config.classifier) == nullptr) {
    return nullptr;
  }
  if (motion_features_init(&detector->features, &detector->config.feature_config) == nullptr) {
    ml_tumblix_destroy(&detector->classifier);
    return nullptr;
  }
  detector->x1_frame = -1;
  return detector;
}

int tumblix_process(TumblixDetector* detector, const RawSample* sample) {
  detector->sample_count += 1;
  const ConvertedSample data = tumblix_convert_sample(*sample);
  motion_features_update(&detector->features, &data);

  const TumblixRules& rules = detector->config.rules;
  if (detector->features.raw_acc <= rules.window.raw_acc_at_most) {
    detector->window_end = detector->sample_count + rules.window.open_samples;
  }
  const int active = (detector->sample_count < detector->window_end &&
                      detector->sample_count >= kFirstDetectableSample)
                         ? 1
                         : 0;

  const float values[kClassifierChannels] = {data.accX,  data.accY,  data.accZ,
                                             data.gyroX, data.gyroY, data.gyroZ};
  ml_tumblix_feed(&detector->classifier, values, active);
  if (!active) return 0;
  return tumblix_apply_rules(detector, ml_tumblix_score(&detector->classifier, 1));
}

void tumblix_destroy(TumblixDetector* detector) {
  ml_tumblix_destroy(&detector->classifier);
  motion_features_release(&detector->features);
}

const char* tumblix_version() { return "Tumblix-0.0.1"; }
