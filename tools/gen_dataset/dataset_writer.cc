#include "tools/gen_dataset/dataset_writer.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "harness/kfall_tasks.h"
#include "tools/gen_dataset/activity_scripts.h"

namespace {

constexpr double kDeviceAccCountsPerG = 8192.0;
constexpr double kDeviceGyroCountsPerDps = 65.536;
constexpr int kDeviceSampleStride = 2;  // the device samples at 50 per second

const char kLabelHeader[] = "Task Code (Task ID),Description,Trial ID,Fall_onset_frame,Fall_impact_frame";

std::string Format(const char* format, int a, int b = 0, int c = 0) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), format, a, b, c);
  return buffer;
}

// Opens for writing; the caller checks the close.
FILE* OpenForWriting(const std::string& path, std::string* error) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) *error = path + ": " + std::strerror(errno);
  return file;
}

bool Finish(FILE* file, const std::string& path, std::string* error) {
  const bool write_failed = std::ferror(file) != 0;
  const bool close_failed = std::fclose(file) != 0;
  if (write_failed || close_failed) {
    *error = path + ": could not be written completely";
    return false;
  }
  return true;
}

int DeviceCounts(double value, double per_unit) {
  const double counts = std::lround(value * per_unit);
  if (counts > 32767.0) return 32767;
  if (counts < -32768.0) return -32768;
  return static_cast<int>(counts);
}

}  // namespace

std::string SubjectFolderName(int subject) { return Format("SA%02d", subject); }

std::string TaskCode(int subject, int task) { return Format("S%02dT%02d", subject, task); }

std::string RecordingName(int subject, int task, int trial) {
  return Format("S%02dT%02dR%02d.csv", subject, task, trial);
}

bool WriteKFallRecording(const std::string& path, const GeneratedTrial& trial, std::string* error) {
  FILE* file = OpenForWriting(path, error);
  if (file == nullptr) return false;
  std::fputs("TimeStamp(s),FrameCounter,AccX,AccY,AccZ,GyrX,GyrY,GyrZ,EulerX,EulerY,EulerZ\n", file);
  const int count = static_cast<int>(trial.samples.size());
  for (int i = 0; i < count; ++i) {
    const SensorSample& s = trial.samples[i];
    std::fprintf(file, "%.2f,%d,%.4f,%.4f,%.4f,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f\n", (i + 1) * 0.01, i + 1,
                 s.acc[0], s.acc[1], s.acc[2], s.gyro[0], s.gyro[1], s.gyro[2], s.euler[0], s.euler[1],
                 s.euler[2]);
  }
  return Finish(file, path, error);
}

bool WriteDeviceRecording(const std::string& path, const GeneratedTrial& trial, std::string* error) {
  FILE* file = OpenForWriting(path, error);
  if (file == nullptr) return false;
  // Six header lines, which the device reader skips unread.
  std::fprintf(file, "# Tumblix device recording, simulated by tumblebench_gen\n");
  std::fprintf(file, "# subject %s, task %d (%s), trial %d\n", SubjectFolderName(trial.subject).c_str(),
               trial.task, kKFallTaskTable[trial.task], trial.trial);
  std::fprintf(file, "# 50 samples per second; 8192 counts per g, 65.536 counts per deg/s\n");
  std::fprintf(file, "# axes of an upright wearer: x right, y down, z forward\n");
  std::fprintf(file, "# fall onset sample %d, impact sample %d (50 per second; 0 0: no fall)\n",
               trial.onset_frame / kDeviceSampleStride, trial.impact_frame / kDeviceSampleStride);
  std::fprintf(file, "seqno,accX,accY,accZ,gyroX,gyroY,gyroZ\n");
  const int count = static_cast<int>(trial.samples.size());
  int seqno = 0;
  for (int i = 0; i < count; i += kDeviceSampleStride) {
    const SensorSample& s = trial.samples[i];
    std::fprintf(file, "%d,%d,%d,%d,%d,%d,%d\n", ++seqno, DeviceCounts(s.acc[0], kDeviceAccCountsPerG),
                 DeviceCounts(s.acc[1], kDeviceAccCountsPerG), DeviceCounts(s.acc[2], kDeviceAccCountsPerG),
                 DeviceCounts(s.gyro[0], kDeviceGyroCountsPerDps),
                 DeviceCounts(s.gyro[1], kDeviceGyroCountsPerDps),
                 DeviceCounts(s.gyro[2], kDeviceGyroCountsPerDps));
  }
  return Finish(file, path, error);
}

bool WriteLabelFile(const std::string& path, const std::vector<const GeneratedTrial*>& trials,
                    std::string* error) {
  FILE* file = OpenForWriting(path, error);
  if (file == nullptr) return false;
  std::fprintf(file, "%s\n", kLabelHeader);
  for (const GeneratedTrial* t : trials) {
    std::fprintf(file, "%s,\"%s\",%d,%d,%d\n", TaskCode(t->subject, t->task).c_str(), kKFallTaskTable[t->task],
                 t->trial, t->onset_frame, t->impact_frame);
  }
  return Finish(file, path, error);
}
