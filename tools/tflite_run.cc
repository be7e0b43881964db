// tflite_run: runs a TFLite model on inference vectors from a text file and
// prints every output value with its bit pattern, in the layout of the
// reference vectors' expected files, so that a model can be checked outside
// a replay.
//
//   tflite_run [--arena BYTES] MODEL.tflite INPUTS.txt
//
// Output (stdout): a header line with arena_used_bytes, then per inference
// "LINE invoke=STATUS" followed by " VALUE 0xBITS" per output element.
// Runtime diagnostics and errors go to stderr. Exit status: 0 when every
// inference succeeded, 1 for usage errors, 2 for an unreadable or unusable
// model or input file, 3 when an inference failed.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tumblix/ml/runtime/tflite_micro.h"
#include "tumblix/ml/vector_text.h"

namespace {

constexpr size_t kDefaultArenaSize = 4096;

// Unlike the detector, which keeps the runtime quiet, this tool exists to
// explain what is wrong with a model.
class StderrReporter : public tflite::ErrorReporter {
 public:
  using tflite::ErrorReporter::Report;
  int Report(const char* format, va_list args) override {
    std::fputs("tflite_run: ", stderr);
    const int n = std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    return n;
  }
};

void PrintUsage() {
  std::fprintf(stderr,
               "usage: tflite_run [--arena BYTES] MODEL.tflite INPUTS.txt\n"
               "  runs MODEL on every line of INPUTS (values separated by blanks, '#' comments,\n"
               "  lines starting with 'x' in IEEE hex) and prints each output as value and bits.\n");
}

bool ReadFile(const char* path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  size_t arena_size = kDefaultArenaSize;
  int arg = 1;
  if (arg < argc && std::strcmp(argv[arg], "--arena") == 0) {
    if (arg + 1 >= argc) {
      PrintUsage();
      return 1;
    }
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(argv[arg + 1], &end, 10);
    if (end == argv[arg + 1] || *end != '\0' || parsed == 0 || parsed > (1ull << 30)) {
      std::fprintf(stderr, "tflite_run: --arena needs a size from 1 to 1073741824 bytes, not '%s'\n",
                   argv[arg + 1]);
      return 1;
    }
    arena_size = static_cast<size_t>(parsed);
    arg += 2;
  }
  if (argc - arg != 2) {
    PrintUsage();
    return 1;
  }
  const char* model_path = argv[arg];
  const char* inputs_path = argv[arg + 1];

  std::vector<uint8_t> model_bytes;
  if (!ReadFile(model_path, &model_bytes)) {
    std::fprintf(stderr, "tflite_run: %s: cannot be read\n", model_path);
    return 2;
  }
  if (model_bytes.size() < 8 || !flatbuffers::BufferHasIdentifier(model_bytes.data(), tflite::ModelIdentifier())) {
    std::fprintf(stderr, "tflite_run: %s: not a TFLite model (no \"%s\" identifier)\n", model_path,
                 tflite::ModelIdentifier());
    return 2;
  }
  flatbuffers::Verifier verifier(model_bytes.data(), model_bytes.size());
  if (!tflite::VerifyModelBuffer(verifier)) {
    std::fprintf(stderr, "tflite_run: %s: malformed TFLite flatbuffer (truncated or corrupt)\n", model_path);
    return 2;
  }

  std::vector<VectorLine> lines;
  {
    std::ifstream in(inputs_path);
    if (!in) {
      std::fprintf(stderr, "tflite_run: %s: cannot be opened\n", inputs_path);
      return 2;
    }
    std::string error;
    if (!ReadVectorLines(in, &lines, &error)) {
      std::fprintf(stderr, "tflite_run: %s: %s\n", inputs_path, error.c_str());
      return 2;
    }
  }

  // The arena is placed on a 16-byte boundary, as the reference runs were.
  std::vector<uint8_t> arena_storage(arena_size + tflite::kArenaAlignment);
  uint8_t* arena = arena_storage.data();
  arena += (tflite::kArenaAlignment - reinterpret_cast<uintptr_t>(arena) % tflite::kArenaAlignment) %
           tflite::kArenaAlignment;

  StderrReporter reporter;
  const tflite::Model* model = tflite::GetModel(model_bytes.data());
  tflite::MicroMutableOpResolver<4> resolver;
  resolver.AddFullyConnected();
  resolver.AddReshape();
  resolver.AddSoftmax();
  resolver.AddLogistic();
  tflite::MicroInterpreter interpreter(model, resolver, arena, arena_size, &reporter);
  const TfLiteStatus allocate_status = interpreter.AllocateTensors();
  std::printf("arena_used_bytes=%zu allocate_status=%d arena_size=%zu arena_addr_mod16=%d\n",
              interpreter.arena_used_bytes(), static_cast<int>(allocate_status), arena_size,
              static_cast<int>(reinterpret_cast<uintptr_t>(arena) % 16));
  if (allocate_status != kTfLiteOk) {
    std::fprintf(stderr, "tflite_run: %s: the runtime cannot run this model in %zu bytes of arena\n", model_path,
                 arena_size);
    return 2;
  }
  if (interpreter.inputs_size() != 1) {
    std::fprintf(stderr, "tflite_run: %s: the model has %zu inputs; this tool feeds exactly one\n", model_path,
                 interpreter.inputs_size());
    return 2;
  }
  TfLiteTensor* input = interpreter.input(0);
  if (input->type != kTfLiteFloat32) {
    std::fprintf(stderr, "tflite_run: %s: input of type %s; this tool feeds float32\n", model_path,
                 TfLiteTypeGetName(input->type));
    return 2;
  }
  const size_t input_count = input->bytes / sizeof(float);

  int status = 0;
  for (const VectorLine& line : lines) {
    if (line.values.size() != input_count) {
      std::fprintf(stderr, "tflite_run: %s: line %d has %zu values, the model's input takes %zu\n", inputs_path,
                   line.line_number, line.values.size(), input_count);
      return 2;
    }
    std::memcpy(input->data.f, line.values.data(), input->bytes);
    const TfLiteStatus invoke_status = interpreter.Invoke();
    std::string text = std::to_string(line.line_number) + " invoke=" + std::to_string(invoke_status);
    if (invoke_status == kTfLiteOk) {
      for (size_t o = 0; o < interpreter.outputs_size(); ++o) {
        const TfLiteTensor* output = interpreter.output(o);
        if (output->type == kTfLiteFloat32) {
          text += FormatValuesWithBits(output->data.f, output->bytes / sizeof(float));
        } else {
          for (size_t i = 0; i < output->bytes / sizeof(int32_t); ++i) text += " " + std::to_string(output->data.i32[i]);
        }
      }
    } else {
      status = 3;
    }
    std::printf("%s\n", text.c_str());
  }
  std::printf("# arena_used_bytes after all invokes=%zu\n", interpreter.arena_used_bytes());
  return status;
}
