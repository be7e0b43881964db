// dump_windows: replays one KFall trial file through the real detector and
// writes, for every sample, what the fall classifier holds for it, next to
// the detector's gate and features. The training pipeline builds its model
// inputs from this dump, so the model is trained on exactly the values that
// a replay feeds it: the harness's reader (every second data line, scaled and
// saturated to sensor counts), the detector's conversion back to g and deg/s
// and the classifier's own channel scaling.
//
// Usage: dump_windows RECORDING.csv OUTPUT.csv [RECORDING.csv OUTPUT.csv ...]
//
// With TUMBLIX_MODEL or TUMBLIX_RULES set, the detector runs that model file
// or rule set, as tumblebench does; a rule file that cannot be used ends the
// program with exit status 3 before anything is dumped. The last two columns
// are the classifier's normal and down scores after the step, exact to the
// bit, which the rule replay needs. Several
// pairs in one call save a process per recording. The detector prints its
// diagnostic lines to standard output while its window is open; the dumps
// go to the OUTPUT files only. Errors go to standard error with exit status
// 1 (the other pairs are still dumped); a usage error exits with status 2,
// and a model file that cannot be used with tumblebench's status 3, before
// anything is dumped.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "harness/exit_status.h"
#include "harness/recording_path.h"
#include "harness/run_model.h"
#include "harness/run_rules.h"
#include "harness/sample_stream.h"
#include "tumblix/display_name.h"
#include "tumblix/tumblix.h"

namespace {

constexpr char kDumpHeader[] =
    "index,seqno,acc_x500,acc_y500,acc_z500,gyro_x,gyro_y,gyro_z,"
    "raw_acc,lpf_acc,lpf_gyro,vv,roll,pitch,open,mode,normal,down\n";

// The detector's own test for an open window, on the state its step left.
int WindowOpen(const TumblixDetector& detector) {
  return (detector.sample_count < detector.window_end &&
          detector.sample_count >= kFirstDetectableSample)
             ? 1
             : 0;
}

void WriteRow(FILE* out, int index, const TumblixDetector& detector, int mode) {
  // The row the classifier wrote last: window_pos already names the oldest.
  const FallClassifier& classifier = detector.classifier;
  const int newest = (classifier.window_pos + kClassifierWindowRows - 1) % kClassifierWindowRows;
  const float* row = classifier.window[newest];
  const MotionFeatures& f = detector.features;
  // %.9g prints every float so that it reads back to the same bits.
  std::fprintf(out, "%d,%d,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%d,%d,%d,%.9g,%d,%d,%d,%d,%.9g,%.9g\n",
               index, detector.sample_count, row[0], row[1], row[2], row[3], row[4], row[5],
               f.raw_acc, f.lpf_acc, f.lpf_gyro, static_cast<double>(f.vv), f.roll, f.pitch,
               WindowOpen(detector), mode, static_cast<double>(ml_tumblix_score(&classifier, 0)),
               static_cast<double>(ml_tumblix_score(&classifier, 1)));
}

int Dump(const char* recording_path, const char* output_path) {
  FILE* recording = std::fopen(recording_path, "r");
  if (recording == nullptr) {
    std::fprintf(stderr, "dump_windows: %s, not opened: %s\n", recording_path,
                 std::strerror(errno));
    return 1;
  }
  FILE* out = std::fopen(output_path, "w");
  if (out == nullptr) {
    std::fprintf(stderr, "dump_windows: %s, not created: %s\n", output_path, std::strerror(errno));
    std::fclose(recording);
    return 1;
  }

  RecordingPath names;
  ParseRecordingPath(recording_path, &names);
  tumblix_set_display_name(names.display_name);
  TumblixConfig cfg;
  tumblix_default_config(&cfg);
  cfg.rules = RunRules();
  // The classifier keeps pointers into its own arena: the detector stays in
  // this frame, at one address, until it is destroyed.
  TumblixDetector detector;
  if (!ApplyRunModel(&cfg.classifier) || tumblix_create(&detector, &cfg) == nullptr) {
    std::fprintf(stderr, "dump_windows: %s, the detector could not be created.\n",
                 recording_path);
    std::fclose(out);
    std::fclose(recording);
    return 1;
  }

  std::fputs(kDumpHeader, out);
  char line[kRecordingLineBufferSize];
  RawSample sample = {0, 0, 0, 0, 0, 0};
  int index = 0;
  // The replay's own sample stream, so the thinning and scaling are its.
  ForEachRecordedSample(recording, RecordingFormat::kKFall, line, sizeof(line), &sample,
                        [&](const RawSample& next) {
                          const int mode = tumblix_process(&detector, &next);
                          WriteRow(out, index, detector, mode);
                          index += 1;
                        });
  const bool read_failed = std::ferror(recording) != 0;
  std::fclose(recording);
  tumblix_destroy(&detector);
  const bool write_failed = std::ferror(out) != 0;
  const bool close_failed = std::fclose(out) != 0;

  if (read_failed) {
    std::fprintf(stderr, "dump_windows: %s, read error.\n", recording_path);
    return 1;
  }
  if (write_failed || close_failed) {
    std::fprintf(stderr, "dump_windows: %s, not written completely.\n", output_path);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (argc - 1) % 2 != 0) {
    std::fprintf(stderr, "usage: dump_windows RECORDING.csv OUTPUT.csv [RECORDING.csv OUTPUT.csv ...]\n");
    return 2;
  }
  if (!LoadRunModel()) return kExitModelUnusable;
  if (!LoadRunRules()) return kExitRulesUnusable;
  int status = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (Dump(argv[i], argv[i + 1]) != 0) status = 1;
  }
  return status;
}
