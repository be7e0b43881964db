// The detector's per-sample step on one realistic recording, split into its
// stages, and one inference of the fall model against a plain loop of the
// same arithmetic.
//
// The recording is the KFall trial named by TUMBLEBENCH_BENCH_RECORDING
// (tools/bench_pipeline.sh hands in a generated fall trial, or a real one when
// the KFall recordings are there); without it, a synthetic walk with dips
// below the gate stands in. Each stage is timed on exactly the inputs it sees
// in the real step, captured by one pass of the whole detector first:
//
//   Step/Whole      tumblix_process, everything the detector does; also the
//                   operator new calls per sample inside the steps and per
//                   recording for creating and destroying the detector
//   Step/Features   count conversion and motion_features_update (filters,
//                   magnitudes, vertical velocity, attitude and angles)
//   Step/Feed       ml_tumblix_feed without inference, on every sample
//   Step/Inference  the inferences of the open detection windows
//   Step/Rules      the decision rules on the evaluated samples, their console
//                   lines going to /dev/null
//
// Every stage reports ns_per_sample: its cost spread over all samples of the
// recording, so that the four stages add up to about the whole step.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bench/allocation_count.h"
#include "bench/silenced_stdout.h"
#include "harness/recording_path.h"
#include "harness/sample_stream.h"
#include "tumblix/decision_rules.h"
#include "tumblix/display_name.h"
#include "tumblix/ml/fall_model.h"
#include "tumblix/ml/runtime/tflite_micro.h"
#include "tumblix/tumblix.h"

namespace {

constexpr int kInputFloats = kClassifierWindowRows * kClassifierChannels;

std::vector<RawSample> SyntheticWalk(int count) {
  std::vector<RawSample> samples;
  for (int i = 0; i < count; ++i) {
    const double t = i * 0.02;
    double vertical = 1.0 + 0.25 * std::sin(2.0 * M_PI * 1.8 * t);
    if (i % 150 > 100 && i % 150 < 115) vertical = 0.4;
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

// What each stage sees, recording by recording.
struct Recording {
  std::vector<RawSample> samples;
  std::vector<ConvertedSample> converted;
  std::vector<std::vector<float>> windows;  // model input of every inference
  struct Evaluation {
    int32_t sample_count;
    MotionFeatures features;  // only the integer and vv fields are read
    float down;
  };
  std::vector<Evaluation> evaluations;  // every sample the rules saw
};

struct Corpus {
  std::string name;
  std::vector<Recording> recordings;
  size_t samples = 0;
  size_t evaluations = 0;
};

bool IsRecordingName(const std::string& name) {
  if (name.size() < 4 || name.compare(name.size() - 4, 4, ".csv") != 0) return false;
  if (name.size() >= 8 && name.compare(name.size() - 8, 8, "_DSV.csv") == 0) return false;
  return name.rfind("SA", 0) != 0;  // label files
}

std::vector<RawSample> ReadKFallRecording(const std::string& path) {
  std::vector<RawSample> samples;
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return samples;
  char line[kRecordingLineBufferSize];
  RawSample sample = {0, 0, 0, 0, 0, 0};
  ForEachRecordedSample(file, RecordingFormat::kKFall, line, sizeof(line), &sample,
                        [&](const RawSample& s) { samples.push_back(s); });
  std::fclose(file);
  return samples;
}

// One pass of the real detector over the samples, keeping what every stage
// is handed.
Recording Capture(std::vector<RawSample> samples) {
  Recording r;
  r.samples = std::move(samples);
  TumblixConfig cfg;
  tumblix_default_config(&cfg);
  auto detector = std::make_unique<TumblixDetector>();
  tumblix_create(detector.get(), &cfg);
  for (const RawSample& s : r.samples) {
    r.converted.push_back(tumblix_convert_sample(s));
    tumblix_process(detector.get(), &s);
    const int32_t n = detector->sample_count;
    if (n >= kFirstDetectableSample && n < detector->window_end) {
      // The model's input, oldest sample first, rebuilt from the ring (the
      // runtime may have reused the input tensor's bytes during the pass).
      const FallClassifier& c = detector->classifier;
      std::vector<float> window;
      for (int i = 0; i < kClassifierWindowRows; ++i) {
        const float* row = c.window[(c.window_pos + i) % kClassifierWindowRows];
        window.insert(window.end(), row, row + kClassifierChannels);
      }
      r.windows.push_back(window);
      r.evaluations.push_back({n, detector->features, ml_tumblix_score(&c, 1)});
    }
  }
  tumblix_destroy(detector.get());
  return r;
}

// TUMBLEBENCH_BENCH_RECORDING: a KFall trial, or a folder whose trials are
// all taken (a subject's folder gives a realistic mix of activities).
Corpus LoadCorpus() {
  Corpus corpus;
  std::vector<std::string> paths;
  const char* given = std::getenv("TUMBLEBENCH_BENCH_RECORDING");
  if (given != nullptr && *given != '\0') {
    std::error_code error;
    if (std::filesystem::is_directory(given, error)) {
      for (const auto& entry : std::filesystem::directory_iterator(given, error)) {
        if (entry.is_regular_file() && IsRecordingName(entry.path().filename().string())) {
          paths.push_back(entry.path().string());
        }
      }
      std::sort(paths.begin(), paths.end());
    } else {
      paths.push_back(given);
    }
    corpus.name = given;
  }
  SilencedStdout quiet;
  for (const std::string& path : paths) {
    RecordingPath names;
    ParseRecordingPath(path.c_str(), &names);
    tumblix_set_display_name(names.display_name);
    std::vector<RawSample> samples = ReadKFallRecording(path);
    if (!samples.empty()) corpus.recordings.push_back(Capture(std::move(samples)));
  }
  if (corpus.recordings.empty()) {
    corpus.name = "synthetic walk";
    corpus.recordings.push_back(Capture(SyntheticWalk(3000)));
  }
  tumblix_set_display_name("S01T30R01.csv");
  for (const Recording& r : corpus.recordings) {
    corpus.samples += r.samples.size();
    corpus.evaluations += r.evaluations.size();
  }
  return corpus;
}

const Corpus& TheCorpus() {
  static const Corpus corpus = LoadCorpus();
  return corpus;
}

void PerSample(benchmark::State& state, const Corpus& corpus) {
  const double samples = static_cast<double>(corpus.samples);
  state.counters["ns_per_sample"] =
      benchmark::Counter(samples, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["samples"] = samples;
  state.counters["recordings"] = static_cast<double>(corpus.recordings.size());
  state.counters["evaluated"] = static_cast<double>(corpus.evaluations);
  state.SetLabel(corpus.name);
}

void BM_StepWhole(benchmark::State& state) {
  const Corpus& corpus = TheCorpus();
  SilencedStdout quiet;
  TumblixConfig cfg;
  tumblix_default_config(&cfg);
  auto detector = std::make_unique<TumblixDetector>();
  // One untimed pass counts the allocations: inside the steps, and those of
  // creating and destroying a detector per recording.
  long in_steps = 0;
  const long before = OperatorNewCalls();
  for (const Recording& r : corpus.recordings) {
    tumblix_create(detector.get(), &cfg);
    for (const RawSample& s : r.samples) {
      const long start = OperatorNewCalls();
      tumblix_process(detector.get(), &s);
      in_steps += OperatorNewCalls() - start;
    }
    tumblix_destroy(detector.get());
  }
  const long per_recordings = OperatorNewCalls() - before - in_steps;
  for (auto _ : state) {
    for (const Recording& r : corpus.recordings) {
      tumblix_create(detector.get(), &cfg);
      for (const RawSample& s : r.samples) benchmark::DoNotOptimize(tumblix_process(detector.get(), &s));
      tumblix_destroy(detector.get());
    }
  }
  std::fflush(stdout);
  PerSample(state, corpus);
  state.counters["allocations_per_sample"] = static_cast<double>(in_steps) / static_cast<double>(corpus.samples);
  state.counters["allocations_per_recording"] =
      static_cast<double>(per_recordings) / static_cast<double>(corpus.recordings.size());
}
BENCHMARK(BM_StepWhole)->Name("Step/Whole")->Unit(benchmark::kMillisecond);

void BM_StepFeatures(benchmark::State& state) {
  const Corpus& corpus = TheCorpus();
  auto features = std::make_unique<MotionFeatures>();
  const int32_t feature_config = 0;
  for (auto _ : state) {
    for (const Recording& r : corpus.recordings) {
      motion_features_init(features.get(), &feature_config);
      for (const RawSample& s : r.samples) {
        const ConvertedSample data = tumblix_convert_sample(s);
        motion_features_update(features.get(), &data);
        benchmark::DoNotOptimize(features->yaw);
      }
      motion_features_release(features.get());
    }
  }
  PerSample(state, corpus);
}
BENCHMARK(BM_StepFeatures)->Name("Step/Features")->Unit(benchmark::kMillisecond);

struct Classifier {
  Classifier() {
    FallClassifierConfig config;
    ml_tumblix_default_config(&config);
    ok = ml_tumblix_create(&c, &config) == &c;
  }
  ~Classifier() {
    if (ok) ml_tumblix_destroy(&c);
  }
  Classifier(const Classifier&) = delete;
  Classifier& operator=(const Classifier&) = delete;
  FallClassifier c;
  bool ok = false;
};

void BM_StepFeed(benchmark::State& state) {
  const Corpus& corpus = TheCorpus();
  auto classifier = std::make_unique<Classifier>();
  if (!classifier->ok) return state.SkipWithError("classifier could not be created");
  for (auto _ : state) {
    for (const Recording& r : corpus.recordings) {
      for (const ConvertedSample& d : r.converted) {
        const float values[kClassifierChannels] = {d.accX, d.accY, d.accZ, d.gyroX, d.gyroY, d.gyroZ};
        benchmark::DoNotOptimize(ml_tumblix_feed(&classifier->c, values, 0));
      }
    }
    benchmark::ClobberMemory();
  }
  PerSample(state, corpus);
}
BENCHMARK(BM_StepFeed)->Name("Step/Feed")->Unit(benchmark::kMillisecond);

void BM_StepInference(benchmark::State& state) {
  const Corpus& corpus = TheCorpus();
  auto classifier = std::make_unique<Classifier>();
  if (!classifier->ok) return state.SkipWithError("classifier could not be created");
  float* input = classifier->c.input->data.f;
  tflite::MicroInterpreter* interpreter = classifier->c.interpreter;
  for (auto _ : state) {
    for (const Recording& r : corpus.recordings) {
      for (const std::vector<float>& window : r.windows) {
        std::memcpy(input, window.data(), sizeof(float) * kInputFloats);
        benchmark::DoNotOptimize(interpreter->Invoke());
      }
    }
    benchmark::ClobberMemory();
  }
  PerSample(state, corpus);
  state.counters["ns_per_inference"] = benchmark::Counter(
      static_cast<double>(corpus.evaluations),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_StepInference)->Name("Step/Inference")->Unit(benchmark::kMillisecond);

void BM_StepRules(benchmark::State& state) {
  const Corpus& corpus = TheCorpus();
  SilencedStdout quiet;
  auto detector = std::make_unique<TumblixDetector>();
  for (auto _ : state) {
    for (const Recording& r : corpus.recordings) {
      std::memset(detector.get(), 0, sizeof(TumblixDetector));
      tumblix_default_rules(&detector->config.rules);
      detector->x1_frame = -1;
      for (const Recording::Evaluation& e : r.evaluations) {
        detector->sample_count = e.sample_count;
        detector->features.lpf_acc = e.features.lpf_acc;
        detector->features.lpf_gyro = e.features.lpf_gyro;
        detector->features.vv = e.features.vv;
        detector->features.roll = e.features.roll;
        detector->features.pitch = e.features.pitch;
        benchmark::DoNotOptimize(tumblix_apply_rules(detector.get(), e.down));
      }
    }
  }
  // The console lines of the last iteration may still sit in the buffer.
  std::fflush(stdout);
  PerSample(state, corpus);
}
BENCHMARK(BM_StepRules)->Name("Step/Rules")->Unit(benchmark::kMillisecond);

// All windows of the corpus, in order.
std::vector<const std::vector<float>*> AllWindows(const Corpus& corpus) {
  std::vector<const std::vector<float>*> windows;
  for (const Recording& r : corpus.recordings) {
    for (const std::vector<float>& w : r.windows) windows.push_back(&w);
  }
  return windows;
}

// ---- one inference: the runtime against a plain loop of the same network ----

// The fall model's dense layers as the textbook loop: one output at a time,
// its products summed in input order in single precision, then the bias, the
// ReLU and finally the logistic function. The weights are read from the
// interpreter's constant tensors, so both run the same numbers.
class PlainNetwork {
 public:
  explicit PlainNetwork(tflite::MicroInterpreter* interpreter) {
    const tflite::Model* model = tflite::GetModel(fall_model);
    const tflite::SubGraph* graph = model->subgraphs()->Get(0);
    for (const tflite::Operator* op : *graph->operators()) {
      const tflite::OperatorCode* code = model->operator_codes()->Get(op->opcode_index());
      if (std::max<int>(code->deprecated_builtin_code(), code->builtin_code()) !=
          tflite::BuiltinOperator_FULLY_CONNECTED) {
        continue;
      }
      const TfLiteTensor* w = interpreter->tensor(op->inputs()->Get(1));
      const TfLiteTensor* b = interpreter->tensor(op->inputs()->Get(2));
      const auto* options = op->builtin_options_as_FullyConnectedOptions();
      layers_.push_back({w->data.f, b->data.f, w->dims->data[0], w->dims->data[1],
                         options != nullptr &&
                             options->fused_activation_function() == tflite::ActivationFunctionType_RELU});
    }
  }
  bool ok() const { return layers_.size() == 3 && layers_.back().units == 2; }

  void Run(const float* input, float* output) const {
    float a[256], b[256];
    std::memcpy(a, input, kInputFloats * sizeof(float));
    float* in = a;
    float* out = b;
    for (const Layer& layer : layers_) {
      for (int o = 0; o < layer.units; ++o) {
        float total = 0.0f;
        for (int d = 0; d < layer.depth; ++d) total += in[d] * layer.weights[o * layer.depth + d];
        total += layer.bias[o];
        out[o] = (layer.relu && total < 0.0f) ? 0.0f : total;
      }
      std::swap(in, out);
    }
    for (int o = 0; o < 2; ++o) {
      const float v = in[o];
      // The runtime's logistic, written out: exact 1 above the cut-off, e^v
      // far below zero, 1 / (1 + e^-v) in between.
      output[o] = v > 16.619047164916992188f ? 1.0f : (v < -9.0f ? expf(v) : 1.0f / (1.0f + expf(-v)));
    }
  }

 private:
  struct Layer {
    const float* weights;
    const float* bias;
    int units;
    int depth;
    bool relu;
  };
  std::vector<Layer> layers_;
};

void BM_InferenceRuntime(benchmark::State& state) {
  const std::vector<const std::vector<float>*> windows = AllWindows(TheCorpus());
  auto classifier = std::make_unique<Classifier>();
  if (!classifier->ok) return state.SkipWithError("classifier could not be created");
  if (windows.empty()) return state.SkipWithError("the recordings open no detection window");
  float* input = classifier->c.input->data.f;
  size_t k = 0;
  for (auto _ : state) {
    // Refilled every time: the runtime may reuse the input's bytes.
    std::memcpy(input, windows[k]->data(), sizeof(float) * kInputFloats);
    benchmark::DoNotOptimize(classifier->c.interpreter->Invoke());
    benchmark::ClobberMemory();
    if (++k == windows.size()) k = 0;
  }
}
BENCHMARK(BM_InferenceRuntime)->Name("Inference/Runtime");

void BM_InferencePlainLoop(benchmark::State& state) {
  const std::vector<const std::vector<float>*> windows = AllWindows(TheCorpus());
  auto classifier = std::make_unique<Classifier>();
  if (!classifier->ok) return state.SkipWithError("classifier could not be created");
  if (windows.empty()) return state.SkipWithError("the recordings open no detection window");
  const PlainNetwork network(classifier->c.interpreter);
  if (!network.ok()) return state.SkipWithError("the built-in model is not three dense layers to 2 outputs");

  // The ratio means something only if both give the same bits on every
  // window of the recording.
  float* input = classifier->c.input->data.f;
  for (const std::vector<float>* window : windows) {
    float plain[2];
    network.Run(window->data(), plain);
    std::memcpy(input, window->data(), sizeof(float) * kInputFloats);
    classifier->c.interpreter->Invoke();
    if (std::memcmp(plain, classifier->c.output->data.f, sizeof(plain)) != 0) {
      return state.SkipWithError("the plain loop and the runtime disagree in their bits");
    }
  }
  state.counters["windows_checked"] = static_cast<double>(windows.size());

  float output[2];
  size_t k = 0;
  for (auto _ : state) {
    network.Run(windows[k]->data(), output);
    benchmark::DoNotOptimize(output);
    if (++k == windows.size()) k = 0;
  }
}
BENCHMARK(BM_InferencePlainLoop)->Name("Inference/PlainLoop");

}  // namespace
