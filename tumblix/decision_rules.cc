#include "tumblix/decision_rules.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tumblix/display_name.h"
#include "tumblix/number_text.h"
#include "tumblix/tumblix.h"

namespace {

// A trigger window covers the trigger sample and the 8 after it.
constexpr int32_t kTriggerWindowLength = 9;

bool trigger_window_open(int32_t frame, int32_t n) {
  return frame >= 0 && n - frame < kTriggerWindowLength;
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

  if (acc < 80 && gyro > 90 && vv > 6.5f) detector->x1_frame = n;
  if (trigger_window_open(detector->x1_frame, n)) {
    line.Add(" X1");
    if (vv > 21.3f) return fire(detector, &line, 6);
    if ((std::abs(roll) > 20 || pitch > 25 || pitch < -60) && p >= 0.67f) {
      return fire(detector, &line, 1);
    }
  }

  if (acc < 60 && gyro > 20 && vv > 10.0f) detector->x2_frame = n;
  if (trigger_window_open(detector->x2_frame, n)) {
    line.Add(" X2");
    if (pitch > 13 && p > 0.53f) return fire(detector, &line, 8);
  }

  if (p > 0.8f) {
    const bool mode2_condition =
        vv > 2.91f || ((std::abs(roll) > 37 || pitch > 37) && acc < 100 && vv > 1.0f);
    if (mode2_condition) {
      detector->mode2_run += 1;
      if (detector->mode2_run >= 2) return fire(detector, &line, 2);
    } else {
      detector->mode2_run = 0;
    }
    if (p > 0.9f) {
      detector->mode7_run += 1;
      if (detector->mode7_run > 7 && acc < 95) return fire(detector, &line, 7);
    } else {
      detector->mode7_run = 0;
    }
  } else {
    detector->mode2_run = 0;
    detector->mode7_run = 0;
  }

  // These thresholds are exact in both precisions; the comparison widens vv.
  const double vv_wide = static_cast<double>(vv);
  if (acc < 70 && vv_wide > 9.0 && p >= 0.7f) return fire(detector, &line, 3);
  if (acc < 75 && vv_wide > 10.0 && p >= 0.57f) return fire(detector, &line, 4);
  if (acc < 80 && vv_wide > 15.0 && p >= 0.53f) return fire(detector, &line, 5);

  line.Add("\n");
  line.Finish();
  return 0;
}
