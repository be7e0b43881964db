// Placeholder until the inference runtime lands: the sliding window is kept,
// no inference runs and the scores read 0.
#include "tumblix/ml/fall_classifier.h"

#include <cstring>

int ml_tumblix_default_config(FallClassifierConfig* config) {
  std::memset(config, 0, sizeof(*config));
  return 0;
}
int ml_tumblix_load_model(FallClassifierConfig* config, const char*) {
  config->model_data = nullptr;
  config->model_size = 0;
  return 0;
}
FallClassifier* ml_tumblix_create(FallClassifier* c, const FallClassifierConfig* config) {
  std::memset(c, 0, sizeof(*c));
  c->config = *config;
  return c;
}
int ml_tumblix_feed(FallClassifier* c, const float* s, int) {
  for (int j = 0; j < 6; ++j) c->window[c->window_pos][j] = j < 3 ? s[j] * 500.0f : s[j];
  c->window_pos = (c->window_pos + 1) % kClassifierWindowRows;
  return 0;
}
void ml_tumblix_destroy(FallClassifier*) {}
void ml_tumblix_print_arena(const FallClassifier*) {}
float ml_tumblix_score(const FallClassifier*, int) { return 0.0f; }
