#include "tumblix/decision_rules.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tumblix/display_name.h"
#include "tumblix/number_text.h"
#include "tumblix/tumblix.h"

namespace {

// A trigger window covers the trigger sample and the ones after it, as many
// as the window's length in all; a negative frame is no trigger yet.
bool trigger_window_open(int32_t frame, int32_t n, int32_t window_samples) {
  return frame >= 0 && n - frame < window_samples;
}

// The console line of one evaluated sample, put together piece by piece and
// written with one call when the rules end it.
class ConsoleLine {
 public:
  void Add(const char* text) {
    const size_t length = std::strlen(text);
    std::memcpy(end_, text, length);
    end_ += length;
  }
  char*& end() { return end_; }
  void Finish() { std::fwrite(text_, 1, static_cast<size_t>(end_ - text_), stdout); }

 private:
  // The display name, the fixed text and seven numbers of at most
  // kNumberTextMax characters each, with room to spare.
  char text_[kDisplayNameLength + 16 * kNumberTextMax];
  char* end_ = text_;
};

// " -> Mode%d(%d)\n" with the detection count, which then goes up by one.
int fire(TumblixDetector* detector, ConsoleLine* line, int mode) {
  line->Add(" -> Mode");
  line->end() = AppendInt(line->end(), mode);
  *line->end()++ = '(';
  line->end() = AppendInt(line->end(), detector->detect_count);
  line->Add(")\n");
  line->Finish();
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

  // "%s  DETECT-1[%04d] : Acc %3d, Gyro %4d, Vel_V %5.2f, Roll %3d, Pitch %3d, TF %5.2f"
  ConsoleLine line;
  line.Add(tumblix_display_name());
  line.Add("  DETECT-1[");
  line.end() = AppendIntZeroPad(line.end(), n, 4);
  line.Add("] : Acc ");
  line.end() = AppendIntWidth(line.end(), acc, 3);
  line.Add(", Gyro ");
  line.end() = AppendIntWidth(line.end(), gyro, 4);
  line.Add(", Vel_V ");
  line.end() = AppendFixed2(line.end(), vv, 5);
  line.Add(", Roll ");
  line.end() = AppendIntWidth(line.end(), roll, 3);
  line.Add(", Pitch ");
  line.end() = AppendIntWidth(line.end(), pitch, 3);
  line.Add(", TF ");
  line.end() = AppendFixed2(line.end(), p, 5);

  // The order, the nesting of modes 2 and 7 under one score gate and the
  // strictness of every comparison are the rules'; only the values are
  // configurable. vv and p are compared in single precision.
  const TumblixRules& r = detector->config.rules;
  if (acc < r.x1.lpf_acc_below && gyro > r.x1.lpf_gyro_above && vv > r.x1.vv_above) {
    detector->x1_frame = n;
  }
  if (trigger_window_open(detector->x1_frame, n, r.x1.window_samples)) {
    line.Add(" X1");
    if (vv > r.mode6.vv_above) return fire(detector, &line, 6);
    const bool tilted =
        std::abs(roll) > r.mode1.roll_abs_above || pitch > r.mode1.pitch_above || pitch < r.mode1.pitch_below;
    if (tilted && p >= r.mode1.p_at_least) return fire(detector, &line, 1);
  }

  if (acc < r.x2.lpf_acc_below && gyro > r.x2.lpf_gyro_above && vv > r.x2.vv_above) {
    detector->x2_frame = n;
  }
  if (trigger_window_open(detector->x2_frame, n, r.x2.window_samples)) {
    line.Add(" X2");
    if (pitch > r.mode8.pitch_above && p > r.mode8.p_above) return fire(detector, &line, 8);
  }

  if (p > r.runs.p_above) {
    const bool tilted_and_sinking = (std::abs(roll) > r.mode2.tilt_above || pitch > r.mode2.tilt_above) &&
                                    acc < r.mode2.tilt_lpf_acc_below && vv > r.mode2.tilt_vv_above;
    if (vv > r.mode2.vv_above || tilted_and_sinking) {
      detector->mode2_run += 1;
      if (detector->mode2_run >= r.mode2.run_at_least) return fire(detector, &line, 2);
    } else {
      detector->mode2_run = 0;
    }
    if (p > r.mode7.p_above) {
      detector->mode7_run += 1;
      if (detector->mode7_run > r.mode7.run_above && acc < r.mode7.lpf_acc_below) {
        return fire(detector, &line, 7);
      }
    } else {
      detector->mode7_run = 0;
    }
  } else {
    detector->mode2_run = 0;
    detector->mode7_run = 0;
  }

  // Modes 3 to 5 compare vv widened to double with their thresholds widened
  // too. Widening a float is exact, so this is the single-precision test for
  // any threshold, as it was for the original 9, 10 and 15.
  const double vv_wide = static_cast<double>(vv);
  if (acc < r.mode3.lpf_acc_below && vv_wide > static_cast<double>(r.mode3.vv_above) &&
      p >= r.mode3.p_at_least) {
    return fire(detector, &line, 3);
  }
  if (acc < r.mode4.lpf_acc_below && vv_wide > static_cast<double>(r.mode4.vv_above) &&
      p >= r.mode4.p_at_least) {
    return fire(detector, &line, 4);
  }
  if (acc < r.mode5.lpf_acc_below && vv_wide > static_cast<double>(r.mode5.vv_above) &&
      p >= r.mode5.p_at_least) {
    return fire(detector, &line, 5);
  }

  line.Add("\n");
  line.Finish();
  return 0;
}
