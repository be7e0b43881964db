// Cost of the detector's per-sample step and of a whole replay per sample.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/silenced_stdout.h"
#include "harness/eval_stats.h"
#include "harness/recording_path.h"
#include "harness/replay.h"
#include "tumblix/tumblix.h"

namespace {

// Walking with a periodic dip below the gate, so that about a third of the
// samples have an open detection window.
std::vector<RawSample> WalkingSamples(int count, bool window_heavy) {
  std::vector<RawSample> samples;
  samples.reserve(count);
  for (int i = 0; i < count; ++i) {
    const double t = i * 0.02;
    double vertical = 1.0 + 0.25 * std::sin(2.0 * M_PI * 1.8 * t);
    if (window_heavy && i % 150 > 100 && i % 150 < 115) vertical = 0.4;
    RawSample s;
    s.accX = static_cast<int16_t>(8192 * 0.1 * std::sin(2.0 * M_PI * 0.9 * t));
    s.accY = static_cast<int16_t>(-8192 * vertical);
    s.accZ = static_cast<int16_t>(8192 * 0.15 * std::cos(2.0 * M_PI * 1.8 * t));
    s.gyroX = static_cast<int16_t>(65.536 * 40.0 * std::sin(2.0 * M_PI * 1.8 * t));
    s.gyroY = static_cast<int16_t>(65.536 * 15.0 * std::cos(2.0 * M_PI * 0.5 * t));
    s.gyroZ = static_cast<int16_t>(65.536 * 10.0 * std::sin(2.0 * M_PI * 0.9 * t));
    samples.push_back(s);
  }
  return samples;
}

void RunDetector(benchmark::State& state, bool window_heavy) {
  const std::vector<RawSample> samples = WalkingSamples(3000, window_heavy);
  SilencedStdout quiet;
  int64_t processed = 0;
  for (auto _ : state) {
    TumblixConfig cfg;
    tumblix_default_config(&cfg);
    auto detector = std::make_unique<TumblixDetector>();
    tumblix_create(detector.get(), &cfg);
    for (const RawSample& s : samples) benchmark::DoNotOptimize(tumblix_process(detector.get(), &s));
    tumblix_destroy(detector.get());
    processed += static_cast<int64_t>(samples.size());
  }
  state.SetItemsProcessed(processed);
  state.counters["ns_per_sample"] = benchmark::Counter(
      static_cast<double>(processed), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_TumblixProcessQuiet(benchmark::State& state) { RunDetector(state, false); }
void BM_TumblixProcessWindowHeavy(benchmark::State& state) { RunDetector(state, true); }

std::string WriteKFallRecording(int rows) {
  char path[] = "/tmp/tumblebench-bench-XXXXXX";
  const int fd = mkstemp(path);
  close(fd);
  std::string name = std::string(path) + "S01T06R01.csv";
  std::rename(path, name.c_str());
  FILE* out = std::fopen(name.c_str(), "w");
  std::fprintf(out, "TimeStamp(s),FrameCounter,AccX,AccY,AccZ,GyrX,GyrY,GyrZ,EulerX,EulerY,EulerZ\n");
  const std::vector<RawSample> samples = WalkingSamples(rows, true);
  for (int i = 0; i < rows; ++i) {
    const RawSample& s = samples[i];
    std::fprintf(out, "%.2f,%d,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,1.0,2.0,3.0\n", i * 0.01, i,
                 s.accX / 8192.0, s.accY / 8192.0, s.accZ / 8192.0, s.gyroX / 65.536,
                 s.gyroY / 65.536, s.gyroZ / 65.536);
  }
  std::fclose(out);
  return name;
}

void BM_ReplayKFallRecording(benchmark::State& state) {
  const int rows = 6000;
  const std::string path = WriteKFallRecording(rows);
  SilencedStdout quiet;
  int64_t samples = 0;
  for (auto _ : state) {
    ReplayKFallRecording(path.c_str(), 0, 0);
    samples += rows / 2;
  }
  std::remove(path.c_str());
  RecordingPath names;
  ParseRecordingPath(path.c_str(), &names);
  std::remove(names.trace_name);
  state.SetItemsProcessed(samples);
  state.counters["ns_per_sample"] = benchmark::Counter(
      static_cast<double>(samples), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_TumblixProcessQuiet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TumblixProcessWindowHeavy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplayKFallRecording)->Unit(benchmark::kMillisecond);
