#include "tumblix/decision_rules.h"

#include <cstdio>
#include <cstdlib>

#include "tumblix/display_name.h"
#include "tumblix/tumblix.h"

namespace {

// A trigger window covers the trigger sample and the 8 after it.
constexpr int32_t kTriggerWindowLength = 9;

bool trigger_window_open(int32_t frame, int32_t n) {
  return frame >= 0 && n - frame < kTriggerWindowLength;
}

int fire(TumblixDetector* detector, int mode) {
  std::printf(" -> Mode%d(%d)\n", mode, detector->detect_count);
  detector->detect_count += 1;
  return mode;
}

}  // namespace

int tumblix_apply_rules(TumblixDetector* detector, float p) {
  const MotionFeatures& f = detector->features;
  const int32_t n = detector->sample_count;
  const int32_t acc = f.lpf_acc;
  const int32_t gyro = f.lpf_gyro;
  const float vv = f.vv;
  const int32_t roll = f.roll;
  const int32_t pitch = f.pitch;

  std::printf("%s  DETECT-1[%04d] : Acc %3d, Gyro %4d, Vel_V %5.2f, Roll %3d, Pitch %3d, TF %5.2f",
              tumblix_display_name(), n, acc, gyro, static_cast<double>(vv), roll, pitch,
              static_cast<double>(p));

  if (acc < 80 && gyro > 90 && vv > 6.5f) detector->x1_frame = n;
  if (trigger_window_open(detector->x1_frame, n)) {
    std::fputs(" X1", stdout);
    if (vv > 21.3f) return fire(detector, 6);
    if ((std::abs(roll) > 20 || pitch > 25 || pitch < -60) && p >= 0.67f) {
      return fire(detector, 1);
    }
  }

  if (acc < 60 && gyro > 20 && vv > 10.0f) detector->x2_frame = n;
  if (trigger_window_open(detector->x2_frame, n)) {
    std::fputs(" X2", stdout);
    if (pitch > 13 && p > 0.53f) return fire(detector, 8);
  }

  if (p > 0.8f) {
    const bool mode2_condition =
        vv > 2.91f || ((std::abs(roll) > 37 || pitch > 37) && acc < 100 && vv > 1.0f);
    if (mode2_condition) {
      detector->mode2_run += 1;
      if (detector->mode2_run >= 2) return fire(detector, 2);
    } else {
      detector->mode2_run = 0;
    }
    if (p > 0.9f) {
      detector->mode7_run += 1;
      if (detector->mode7_run > 7 && acc < 95) return fire(detector, 7);
    } else {
      detector->mode7_run = 0;
    }
  } else {
    detector->mode2_run = 0;
    detector->mode7_run = 0;
  }

  // These thresholds are exact in both precisions; the comparison widens vv.
  const double vv_wide = static_cast<double>(vv);
  if (acc < 70 && vv_wide > 9.0 && p >= 0.7f) return fire(detector, 3);
  if (acc < 75 && vv_wide > 10.0 && p >= 0.57f) return fire(detector, 4);
  if (acc < 80 && vv_wide > 15.0 && p >= 0.53f) return fire(detector, 5);

  std::fputs("\n", stdout);
  return 0;
}
