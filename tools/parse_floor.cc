// The parse-bound floor of a replay: what reading the recordings costs
// without the detector, the trace or any console output. Comparing a full
// run with it shows what everything else costs on top of reading the files.
//
//   tumblebench_parse [-tf] [--readers] PATH...
//
// By default each file is read whole and the six fields of every line the
// replay keeps are converted with std::from_chars: the floor that any reader
// of these files has to pay. With --readers the files go through the
// replay's own readers instead (same line loop, same conversion), which
// shows how close those come to it. Both print the same sample count and
// checksum for the same files.
//
// Each PATH is a recording or a folder searched recursively for *.csv files
// that are not traces (*_DSV.csv) and not label files (SAxx_*.csv). -tf reads
// them as device recordings, otherwise as KFall trials.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/recording_reader.h"
#include "harness/sample_stream.h"

namespace fs = std::filesystem;

namespace {

bool IsRecordingName(const std::string& name) {
  if (name.size() < 4 || name.compare(name.size() - 4, 4, ".csv") != 0) return false;
  if (name.size() >= 8 && name.compare(name.size() - 8, 8, "_DSV.csv") == 0) return false;
  return name.rfind("SA", 0) != 0;
}

void Collect(const fs::path& path, std::vector<std::string>* files) {
  std::error_code error;
  if (fs::is_directory(path, error)) {
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(path, error)) {
      if (entry.is_regular_file() && IsRecordingName(entry.path().filename().string())) {
        files->push_back(entry.path().string());
      }
    }
  } else {
    files->push_back(path.string());
  }
}

struct Totals {
  long long samples = 0;
  long long checksum = 0;
};

void Add(const RawSample& s, Totals* totals) {
  totals->samples += 1;
  totals->checksum += s.accX + s.accY + s.accZ + s.gyroX + s.gyroY + s.gyroZ;
}

// The whole file into `text`; false when it cannot be read.
bool ReadWhole(const char* path, std::vector<char>* text) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status;
  bool ok = fstat(fd, &status) == 0;
  size_t length = 0;
  if (ok) {
    text->resize(static_cast<size_t>(status.st_size));
    while (length < text->size()) {
      const ssize_t got = read(fd, text->data() + length, text->size() - length);
      if (got <= 0) break;
      length += static_cast<size_t>(got);
    }
    ok = length == text->size();
  }
  close(fd);
  return ok;
}

// The lines the replay keeps (after a device recording's six header lines,
// the data lines; of a KFall trial every second one) with the six fields
// after the ignored ones converted by std::from_chars, scaled and saturated
// as the readers do. Empty fields are skipped, as in the readers.
void ConvertWhole(const std::vector<char>& text, RecordingFormat format, Totals* totals) {
  const bool kfall = format == RecordingFormat::kKFall;
  const int ignored = kfall ? 2 : 1;
  const double acc_scale = kfall ? kKFallAccScale : 1.0;
  const double gyro_scale = kfall ? kKFallGyroScale : 1.0;
  const char* p = text.data();
  const char* const end = p + text.size();
  int line_number = 0;
  int data_lines = 0;
  while (p < end) {
    const char* line_end = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    if (line_end == nullptr) line_end = end;
    const char* line = p;
    p = line_end + 1;
    if (!kfall && line_number++ < kDeviceHeaderLines) continue;
    if (!(line < line_end && ((*line >= '0' && *line <= '9') || *line == '-'))) continue;
    if (kfall && (data_lines++ % 2) != 0) continue;
    double values[6] = {0, 0, 0, 0, 0, 0};
    const char* q = line;
    for (int field = 0; field < ignored + 6; ++field) {
      while (q < line_end && *q == ',') ++q;
      if (q == line_end) break;
      if (field >= ignored) std::from_chars(q, line_end, values[field - ignored]);
      while (q < line_end && *q != ',') ++q;
    }
    RawSample s;
    s.accX = SaturateToSample(values[0] * acc_scale);
    s.accY = SaturateToSample(values[1] * acc_scale);
    s.accZ = SaturateToSample(values[2] * acc_scale);
    s.gyroX = SaturateToSample(values[3] * gyro_scale);
    s.gyroY = SaturateToSample(values[4] * gyro_scale);
    s.gyroZ = SaturateToSample(values[5] * gyro_scale);
    Add(s, totals);
  }
}

}  // namespace

int main(int argc, char** argv) {
  RecordingFormat format = RecordingFormat::kKFall;
  bool own_readers = false;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-tf") == 0) {
      format = RecordingFormat::kDevice;
    } else if (std::strcmp(argv[i], "--readers") == 0) {
      own_readers = true;
    } else {
      Collect(argv[i], &files);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: tumblebench_parse [-tf] [--readers] PATH...\n");
    return 2;
  }

  const auto start = std::chrono::steady_clock::now();
  Totals totals;
  int unreadable = 0;
  char line[kRecordingLineBufferSize];
  std::vector<char> text;
  RawSample sample = {0, 0, 0, 0, 0, 0};
  for (const std::string& file : files) {
    if (own_readers) {
      FILE* recording = std::fopen(file.c_str(), "r");
      if (recording == nullptr) {
        ++unreadable;
        continue;
      }
      ForEachRecordedSample(recording, format, line, sizeof(line), &sample,
                            [&](const RawSample& s) { Add(s, &totals); });
      std::fclose(recording);
    } else if (ReadWhole(file.c_str(), &text)) {
      ConvertWhole(text, format, &totals);
    } else {
      ++unreadable;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("recordings %zu\nsamples %lld\nseconds %.6f\nchecksum %lld\n", files.size() - unreadable,
              totals.samples, seconds, totals.checksum);
  if (unreadable > 0) {
    std::fprintf(stderr, "tumblebench_parse: %d recordings could not be opened\n", unreadable);
    return 1;
  }
  return 0;
}
