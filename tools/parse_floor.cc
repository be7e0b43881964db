// The parse-bound floor of a replay: reads recordings exactly as the replays
// do (same line loop, same readers) but runs no detector and writes no trace
// and no console output. Comparing a full run with it shows what the
// detector, the trace and the console cost on top of reading the files.
//
//   tumblebench_parse [-tf] PATH...
// Each PATH is a recording or a folder searched recursively for *.csv files
// that are not traces (*_DSV.csv) and not label files (SAxx_*.csv).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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

}  // namespace

int main(int argc, char** argv) {
  RecordingFormat format = RecordingFormat::kKFall;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-tf") == 0) {
      format = RecordingFormat::kDevice;
    } else {
      Collect(argv[i], &files);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: tumblebench_parse [-tf] PATH...\n");
    return 2;
  }

  const auto start = std::chrono::steady_clock::now();
  long long samples = 0;
  long long checksum = 0;
  int unreadable = 0;
  char line[kRecordingLineBufferSize];
  RawSample sample = {0, 0, 0, 0, 0, 0};
  for (const std::string& file : files) {
    FILE* recording = std::fopen(file.c_str(), "r");
    if (recording == nullptr) {
      ++unreadable;
      continue;
    }
    ForEachRecordedSample(recording, format, line, sizeof(line), &sample, [&](const RawSample& s) {
      ++samples;
      checksum += s.accX + s.accY + s.accZ + s.gyroX + s.gyroY + s.gyroZ;
    });
    std::fclose(recording);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("recordings %zu\nsamples %lld\nseconds %.6f\nchecksum %lld\n",
              files.size() - unreadable, samples, seconds, checksum);
  if (unreadable > 0) {
    std::fprintf(stderr, "tumblebench_parse: %d recordings could not be opened\n", unreadable);
    return 1;
  }
  return 0;
}
