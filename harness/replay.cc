#include "harness/replay.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "harness/detection_log.h"
#include "harness/eval_stats.h"
#include "harness/file_utils.h"
#include "harness/missing_results.h"
#include "harness/recording_path.h"
#include "harness/run_model.h"
#include "harness/run_rules.h"
#include "harness/sample_stream.h"
#include "harness/scoring.h"
#include "harness/trace_file.h"
#include "tumblix/display_name.h"
#include "tumblix/tumblix.h"

namespace {

// True when the trace name leads (links followed) to the recording itself:
// opening the trace would empty the recording.
bool TraceIsTheRecording(const struct stat& recording, const char* trace_name) {
  struct stat trace;
  if (stat(trace_name, &trace) != 0) return false;
  return trace.st_dev == recording.st_dev && trace.st_ino == recording.st_ino;
}

int ReplayRecording(RecordingFormat format, const char* path, int onset, int impact) {
  RecordingPath names;
  ParseRecordingPath(path, &names);
  tumblix_set_display_name(names.display_name);

  struct stat recording_info;
  int open_error = 0;
  FILE* recording = OpenRegularFile(path, &recording_info, &open_error);
  if (recording == nullptr) {
    std::printf("tumblebench: %s, not found.\n", path);
    // "not found" is all the console log says; a file that is there but
    // cannot be opened, or is no regular file, needs its real cause named.
    if (open_error == 0) {
      std::fprintf(stderr, "tumblebench: %s, is %s, not a regular file; the recording is not scored.\n",
                   path, FileKindName(recording_info.st_mode));
    } else if (open_error != ENOENT && open_error != ENOTDIR) {
      std::fprintf(stderr, "tumblebench: %s, cannot be opened (%s); the recording is not scored.\n",
                   path, std::strerror(open_error));
      NoteFileNotOpened(open_error);
    }
    return -1;
  }

  if (!names.has_trace_name) {
    std::fprintf(stderr, "tumblebench: %s, no trace name can be formed from this path.\n", path);
    std::fclose(recording);
    return -1;
  }
  std::printf("Log File : %s\n\n", names.trace_name);
  if (TraceIsTheRecording(recording_info, names.trace_name)) {
    std::fprintf(stderr,
                 "tumblebench: %s, its trace name %s is the recording itself, which is left untouched; "
                 "the recording is not scored.\n",
                 path, names.trace_name);
    std::fclose(recording);
    return -1;
  }
  TraceOpenFailure trace_failure;
  if (!OpenTrace(names.trace_name, &trace_failure)) {
    std::fprintf(stderr, "tumblebench: %s, trace cannot be created (%s); the recording is not scored.\n",
                 names.trace_name, trace_failure.reason);
    NoteFileNotOpened(trace_failure.error);
    std::fclose(recording);
    return -1;
  }

  TumblixConfig cfg;
  tumblix_default_config(&cfg);
  cfg.rules = RunRules();
  TumblixDetector detector;
  if (!ApplyRunModel(&cfg.classifier) || tumblix_create(&detector, &cfg) == nullptr) {
    std::fprintf(stderr, "tumblebench: %s, the detector could not be created; the recording is not scored.\n",
                 path);
    CloseTrace();
    std::fclose(recording);
    return -1;
  }

  WriteTraceHeader();
  char line[kRecordingLineBufferSize];
  DetectionLog detections = {0, 0, 0};
  int sample_index = 0;
  RawSample sample = {0, 0, 0, 0, 0, 0};
  ForEachRecordedSample(recording, format, line, sizeof(line), &sample,
                        [&](const RawSample& current) {
                          const int mode = ProcessSample(&detector, &current, onset, impact);
                          if (mode > 0) NoteDetection(&detections, mode, sample_index, onset, impact);
                          sample_index += 1;
                        });
  const bool read_failed = std::ferror(recording) != 0;
  std::printf("%d data, processed.\n", sample_index);

  const bool trace_complete = CloseTrace();
  std::fclose(recording);
  tumblix_destroy(&detector);

  if (read_failed) {
    // A result over part of a recording would pass for a complete one.
    std::fprintf(stderr,
                 "tumblebench: %s, read error; its trace is incomplete and the recording is not scored.\n",
                 path);
    return -1;
  }
  if (!trace_complete) {
    std::fprintf(stderr, "tumblebench: %s, trace not written completely.\n", path);
  }

  ScoreRecording(ProcessEvalStats(), path, names.task_number, detections.first_mode,
                 detections.first_frame, onset, impact);
  return 0;
}

}  // namespace

int ProcessSample(TumblixDetector* detector, const RawSample* sample, int onset, int impact) {
  const int mode = tumblix_process(detector, sample);
  if (TraceHandle() != nullptr) WriteTraceRow(detector, sample, mode, onset, impact);
  return mode;
}

int ReplayDeviceRecording(const char* path, int onset, int impact) {
  return ReplayRecording(RecordingFormat::kDevice, path, onset, impact);
}

int ReplayKFallRecording(const char* path, int onset, int impact) {
  return ReplayRecording(RecordingFormat::kKFall, path, onset, impact);
}
