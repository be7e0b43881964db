// The readers' decimal conversion and the output's number formatting against
// what the standard library offers for the same job: std::from_chars and
// strtod for the fields of KFall lines, std::to_chars for the trace's
// integers and its "%.2f" column. Each comparison first checks that both
// give the same result on every input, so that only speed is compared.
//
// The fields are those of the KFall trials named by
// TUMBLEBENCH_BENCH_RECORDING (a trial or a subject's folder, as for the
// pipeline benchmark); without it, synthetic fields of the same form.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "harness/decimal_text.h"
#include "tumblix/number_text.h"

namespace {

// All field texts, each followed by a comma, in one block.
struct Fields {
  std::string text;
  std::vector<size_t> starts;
};

// Fields 3 to 8 (acceleration and angular rate) of every data line.
void AddKFallFields(const std::string& path, Fields* fields) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return;
  char line[2048];
  while (std::fgets(line, sizeof(line), file) != nullptr) {
    if (!((line[0] >= '0' && line[0] <= '9') || line[0] == '-')) continue;
    const char* p = line;
    for (int field = 0; field < 8; ++field) {
      const char* comma = std::strchr(p, ',');
      if (comma == nullptr) break;
      if (field >= 2) {
        fields->starts.push_back(fields->text.size());
        fields->text.append(p, comma + 1);
      }
      p = comma + 1;
    }
  }
  std::fclose(file);
}

Fields LoadFields() {
  Fields fields;
  const char* given = std::getenv("TUMBLEBENCH_BENCH_RECORDING");
  if (given != nullptr && *given != '\0') {
    std::error_code error;
    if (std::filesystem::is_directory(given, error)) {
      for (const auto& entry : std::filesystem::directory_iterator(given, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 4 && name.rfind("SA", 0) != 0 && name.find("_DSV") == std::string::npos) {
          AddKFallFields(entry.path().string(), &fields);
        }
      }
    } else {
      AddKFallFields(given, &fields);
    }
  }
  if (fields.starts.empty()) {
    // KFall writes values like -0.991699 and -0.057295800000000015.
    std::mt19937_64 random(3);
    char text[64];
    for (int n = 0; n < 200000; ++n) {
      const double value = std::ldexp(static_cast<double>(random() % 1000000), -19) - 1.0;
      const int length = n % 3 == 0 ? std::snprintf(text, sizeof(text), "%.18f,", value)
                                     : std::snprintf(text, sizeof(text), "%.6f,", value);
      fields.starts.push_back(fields.text.size());
      fields.text.append(text, static_cast<size_t>(length));
    }
  }
  return fields;
}

const Fields& TheFields() {
  static const Fields fields = LoadFields();
  return fields;
}

void PerField(benchmark::State& state, size_t count) {
  state.counters["ns_per_value"] = benchmark::Counter(
      static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["values"] = static_cast<double>(count);
}

void BM_ReadDecimal(benchmark::State& state) {
  const Fields& f = TheFields();
  // Same value and same end as from_chars on every field, or no figure.
  const char* end_of_text = f.text.data() + f.text.size();
  for (size_t start : f.starts) {
    const char* text = f.text.c_str() + start;
    char* end = nullptr;
    const double ours = ReadDecimal(text, &end);
    double theirs = 0.0;
    const std::from_chars_result result = std::from_chars(text, end_of_text, theirs);
    if (std::memcmp(&ours, &theirs, sizeof(ours)) != 0 || result.ptr != end) {
      return state.SkipWithError("ReadDecimal and std::from_chars disagree on a field");
    }
  }
  for (auto _ : state) {
    for (size_t start : f.starts) {
      char* end = nullptr;
      benchmark::DoNotOptimize(ReadDecimal(f.text.c_str() + start, &end));
    }
  }
  PerField(state, f.starts.size());
}
BENCHMARK(BM_ReadDecimal)->Name("Text/ReadDecimal");

void BM_FromChars(benchmark::State& state) {
  const Fields& f = TheFields();
  const char* end_of_text = f.text.data() + f.text.size();
  for (auto _ : state) {
    for (size_t start : f.starts) {
      double value = 0.0;
      std::from_chars(f.text.c_str() + start, end_of_text, value);
      benchmark::DoNotOptimize(value);
    }
  }
  PerField(state, f.starts.size());
}
BENCHMARK(BM_FromChars)->Name("Text/FromChars");

void BM_Strtod(benchmark::State& state) {
  const Fields& f = TheFields();
  for (auto _ : state) {
    for (size_t start : f.starts) {
      char* end = nullptr;
      benchmark::DoNotOptimize(std::strtod(f.text.c_str() + start, &end));
    }
  }
  PerField(state, f.starts.size());
}
BENCHMARK(BM_Strtod)->Name("Text/Strtod");

// Values like the trace's: sample counts, sensor counts, features, and vv
// with a few integer digits.
struct Numbers {
  std::vector<int32_t> ints;
  std::vector<float> fixed;
};

const Numbers& TheNumbers() {
  static const Numbers numbers = [] {
    Numbers n;
    std::mt19937 random(1);
    for (int i = 0; i < 100000; ++i) {
      const int32_t magnitudes[] = {10, 200, 10000, 40000};
      const int32_t range = magnitudes[random() % 4];
      n.ints.push_back(static_cast<int32_t>(random() % static_cast<uint32_t>(range)) - range / 2);
      n.fixed.push_back(std::ldexp(static_cast<float>(random() % 100000) / 100000.0f, static_cast<int>(random() % 6)) *
                        (random() % 2 == 0 ? 1.0f : -1.0f));
    }
    return n;
  }();
  return numbers;
}

template <class Format>
bool SameText(Format ours, Format theirs, size_t count) {
  char a[80], b[80];
  for (size_t i = 0; i < count; ++i) {
    const char* end_a = ours(a, i);
    const char* end_b = theirs(b, i);
    if (end_a - a != end_b - b || std::memcmp(a, b, static_cast<size_t>(end_a - a)) != 0) return false;
  }
  return true;
}

void BM_AppendInt(benchmark::State& state) {
  const Numbers& n = TheNumbers();
  using Format = char* (*)(char*, size_t);
  const Format ours = [](char* out, size_t i) { return AppendInt(out, TheNumbers().ints[i]); };
  const Format theirs = [](char* out, size_t i) { return std::to_chars(out, out + 80, TheNumbers().ints[i]).ptr; };
  if (!SameText(ours, theirs, n.ints.size())) return state.SkipWithError("AppendInt and std::to_chars disagree");
  char text[80];
  for (auto _ : state) {
    for (int32_t value : n.ints) benchmark::DoNotOptimize(AppendInt(text, value));
  }
  PerField(state, n.ints.size());
}
BENCHMARK(BM_AppendInt)->Name("Text/AppendInt");

void BM_ToCharsInt(benchmark::State& state) {
  const Numbers& n = TheNumbers();
  char text[80];
  for (auto _ : state) {
    for (int32_t value : n.ints) benchmark::DoNotOptimize(std::to_chars(text, text + sizeof(text), value).ptr);
  }
  PerField(state, n.ints.size());
}
BENCHMARK(BM_ToCharsInt)->Name("Text/ToCharsInt");

void BM_AppendFixed2(benchmark::State& state) {
  const Numbers& n = TheNumbers();
  using Format = char* (*)(char*, size_t);
  const Format ours = [](char* out, size_t i) { return AppendFixed2(out, TheNumbers().fixed[i], 0); };
  const Format theirs = [](char* out, size_t i) {
    return std::to_chars(out, out + 80, static_cast<double>(TheNumbers().fixed[i]), std::chars_format::fixed, 2).ptr;
  };
  if (!SameText(ours, theirs, n.fixed.size())) return state.SkipWithError("AppendFixed2 and std::to_chars disagree");
  char text[80];
  for (auto _ : state) {
    for (float value : n.fixed) benchmark::DoNotOptimize(AppendFixed2(text, value, 0));
  }
  PerField(state, n.fixed.size());
}
BENCHMARK(BM_AppendFixed2)->Name("Text/AppendFixed2");

void BM_ToCharsFixed2(benchmark::State& state) {
  const Numbers& n = TheNumbers();
  char text[80];
  for (auto _ : state) {
    for (float value : n.fixed) {
      benchmark::DoNotOptimize(
          std::to_chars(text, text + sizeof(text), static_cast<double>(value), std::chars_format::fixed, 2).ptr);
    }
  }
  PerField(state, n.fixed.size());
}
BENCHMARK(BM_ToCharsFixed2)->Name("Text/ToCharsFixed2");

}  // namespace
