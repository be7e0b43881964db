#include "tumblix/ml/fall_classifier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tumblix/ml/fall_model.h"
#include "tumblix/ml/runtime/tflite_micro.h"

namespace {

constexpr int kInputElements = kClassifierWindowRows * kClassifierChannels;
constexpr int kOutputElements = 2;

bool IsFloatTensorOf(const TfLiteTensor* tensor, size_t elements) {
  return tensor != nullptr && tensor->type == kTfLiteFloat32 && tensor->data.f != nullptr &&
         tensor->bytes == elements * sizeof(float);
}

constexpr size_t kFlatbufferHeaderBytes = 8;  // the root offset, then the file identifier

bool HasModelIdentifier(const uint8_t* data, size_t size) {
  return size >= kFlatbufferHeaderBytes && flatbuffers::BufferHasIdentifier(data, tflite::ModelIdentifier());
}

// A buffer that did not come from the program is checked before anything
// reads it: a truncated or foreign file must fail here, not crash the
// interpreter. What the flatbuffer holds (types, shapes, operators) is
// checked by AllocateTensors.
bool ModelBufferIsSound(const uint8_t* data, int32_t size, tflite::ErrorReporter* reporter) {
  if (size < 0 || !HasModelIdentifier(data, static_cast<size_t>(size))) {
    TF_LITE_REPORT_ERROR(reporter, "Model buffer of %d bytes does not carry the identifier \"%s\".",
                         static_cast<int>(size), tflite::ModelIdentifier());
    return false;
  }
  flatbuffers::Verifier verifier(data, static_cast<size_t>(size));
  if (!tflite::VerifyModelBuffer(verifier)) {
    TF_LITE_REPORT_ERROR(reporter, "Model buffer of %d bytes is not a well-formed TFLite flatbuffer.",
                         static_cast<int>(size));
    return false;
  }
  return true;
}

FallClassifier* FailCreate(FallClassifier* classifier) {
  ml_tumblix_destroy(classifier);
  return nullptr;
}

// One non-finite weight or bias makes every score NaN, and a NaN score
// fails every rule that reads it: the network would silently never fire.
// Constants are the tensors that live in the model buffer.
bool ConstantsAreFinite(tflite::MicroInterpreter* interpreter, tflite::ErrorReporter* reporter) {
  for (size_t t = 0; t < interpreter->tensors_size(); ++t) {
    const TfLiteTensor* tensor = interpreter->tensor(t);
    if (tensor->allocation_type != kTfLiteMmapRo || tensor->type != kTfLiteFloat32) continue;
    const size_t count = tensor->bytes / sizeof(float);
    for (size_t i = 0; i < count; ++i) {
      if (!std::isfinite(tensor->data.f[i])) {
        TF_LITE_REPORT_ERROR(reporter, "Tensor %zu ('%s'): element %zu of its constant data is %f.", t,
                             tensor->name != nullptr ? tensor->name : "", i,
                             static_cast<double>(tensor->data.f[i]));
        return false;
      }
    }
  }
  return true;
}

constexpr size_t kReasonBufferSize = 160;

enum class IdentifierCheck { kNone, kBeforeReading };
// How reading a model file failed, in the loader's three messages.
enum class FileFailure { kNone, kNotOpened, kNotAllocated, kNotRead };

FileFailure Refuse(FileFailure failure, char* reason, size_t reason_size, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
FileFailure Refuse(FileFailure failure, char* reason, size_t reason_size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(reason, reason_size, format, args);
  va_end(args);
  return failure;
}

// Reads exactly size bytes from the start of fd; false at an error or an
// early end (errno 0 then).
bool ReadWhole(int fd, uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, data + done, size - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = 0;
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

// The whole file in a heap buffer of its own (at least one byte, so that
// an empty file does not yield the null that selects the built-in model).
// The file's kind and size, and on request its identifier, are checked
// before anything is allocated or read whole; it is opened without
// blocking, so that a FIFO cannot hold the caller up.
FileFailure ReadOpenModelFile(FallClassifierConfig* config, int fd, IdentifierCheck check, char* reason,
                              size_t reason_size) {
  struct stat status;
  if (fstat(fd, &status) != 0) {
    return Refuse(FileFailure::kNotOpened, reason, reason_size, "%s", std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) {
    return Refuse(FileFailure::kNotOpened, reason, reason_size, "not a regular file");
  }
  const long long size = static_cast<long long>(status.st_size);
  if (size > kModelFileMaxBytes) {
    return Refuse(FileFailure::kNotAllocated, reason, reason_size,
                  "the file is %lld bytes, more than the %d bytes a model file may have", size, kModelFileMaxBytes);
  }
  if (check == IdentifierCheck::kBeforeReading) {
    uint8_t head[kFlatbufferHeaderBytes];
    const bool has_head = size >= static_cast<long long>(sizeof(head)) && ReadWhole(fd, head, sizeof(head));
    if (!has_head || !HasModelIdentifier(head, sizeof(head))) {
      return Refuse(FileFailure::kNotRead, reason, reason_size,
                    "the file of %lld bytes does not carry the identifier \"%s\"", size, tflite::ModelIdentifier());
    }
  }
  const size_t bytes = static_cast<size_t>(size);
  auto* data = static_cast<uint8_t*>(std::malloc(bytes > 0 ? bytes : 1));
  if (data == nullptr) {
    return Refuse(FileFailure::kNotAllocated, reason, reason_size, "no memory for the %lld bytes of the file", size);
  }
  if (!ReadWhole(fd, data, bytes)) {
    const int error = errno;
    std::free(data);
    if (error != 0) return Refuse(FileFailure::kNotRead, reason, reason_size, "%s", std::strerror(error));
    return Refuse(FileFailure::kNotRead, reason, reason_size, "the file ended before its %lld bytes", size);
  }
  config->model_data = data;
  config->model_size = static_cast<int32_t>(size);
  return FileFailure::kNone;
}

FileFailure ReadModelFile(FallClassifierConfig* config, const char* path, IdentifierCheck check, char* reason,
                          size_t reason_size) {
  config->model_data = nullptr;
  config->model_size = 0;
  reason[0] = '\0';
  if (path == nullptr) return FileFailure::kNone;
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Refuse(FileFailure::kNotOpened, reason, reason_size, "%s", std::strerror(errno));
  const FileFailure failure = ReadOpenModelFile(config, fd, check, reason, reason_size);
  close(fd);
  return failure;
}

}  // namespace

int ml_tumblix_default_config(FallClassifierConfig* config) {
  config->reserved = 0;
  config->model_data = nullptr;
  config->model_size = 0;
  return 0;
}

int ml_tumblix_load_model(FallClassifierConfig* config, const char* path) {
  char reason[kReasonBufferSize];
  switch (ReadModelFile(config, path, IdentifierCheck::kNone, reason, sizeof(reason))) {
    case FileFailure::kNone:
      return 0;
    case FileFailure::kNotOpened:
      std::printf("ml_tumblix : %s, not opened.\n", path);
      return -1;
    case FileFailure::kNotAllocated:
      std::printf("ml_tumblix : model_data, not allocated.\n");
      return -1;
    case FileFailure::kNotRead:
      break;
  }
  std::printf("ml_tumblix : model_data, not read.\n");
  return -1;
}

int ml_tumblix_read_model_file(FallClassifierConfig* config, const char* path, char* reason, int reason_size) {
  char unused[1];
  const bool has_room = reason != nullptr && reason_size > 0;
  return ReadModelFile(config, path, IdentifierCheck::kBeforeReading, has_room ? reason : unused,
                       has_room ? static_cast<size_t>(reason_size) : sizeof(unused)) == FileFailure::kNone
             ? 0
             : -1;
}

FallClassifier* ml_tumblix_create(FallClassifier* classifier, const FallClassifierConfig* config) {
  std::memset(classifier, 0, sizeof(*classifier));
  classifier->config.reserved = config->reserved;
  classifier->config.model_data = config->model_data;
  classifier->config.model_size = config->model_size;

  classifier->error_reporter = new tflite::MicroErrorReporter();

  if (classifier->config.model_data != nullptr) {
    if (!ModelBufferIsSound(classifier->config.model_data, classifier->config.model_size,
                            classifier->error_reporter)) {
      return FailCreate(classifier);
    }
    classifier->model = tflite::GetModel(classifier->config.model_data);
  } else {
    // The built-in model is known good (the tests verify it); it is not
    // verified on every create.
    classifier->model = tflite::GetModel(fall_model);
  }

  classifier->op_resolver = new tflite::MicroMutableOpResolver<4>();
  classifier->op_resolver->AddFullyConnected();
  classifier->op_resolver->AddReshape();
  classifier->op_resolver->AddSoftmax();
  classifier->op_resolver->AddLogistic();

  classifier->interpreter =
      new tflite::MicroInterpreter(classifier->model, *classifier->op_resolver, classifier->tensor_arena,
                                   kClassifierArenaSize, classifier->error_reporter, nullptr);
  if (classifier->interpreter->AllocateTensors() != kTfLiteOk) return FailCreate(classifier);

  classifier->input = classifier->interpreter->input(0);
  classifier->output = classifier->interpreter->output(0);
  if (!IsFloatTensorOf(classifier->input, kInputElements) ||
      !IsFloatTensorOf(classifier->output, kOutputElements)) {
    TF_LITE_REPORT_ERROR(classifier->error_reporter,
                         "The model must take %d float32 values and give %d.", kInputElements,
                         kOutputElements);
    return FailCreate(classifier);
  }
  // The built-in model's constants are checked by the tests, not here.
  if (classifier->config.model_data != nullptr &&
      !ConstantsAreFinite(classifier->interpreter, classifier->error_reporter)) {
    return FailCreate(classifier);
  }
  // The output's arena bytes may hold leftovers of the planning; scores read
  // 0 until the first inference.
  std::memset(classifier->output->data.raw, 0, classifier->output->bytes);

  classifier->window_pos = 0;
  return classifier;
}

int ml_tumblix_check_model(const uint8_t* data, int32_t size, char* reason, int reason_size) {
  const size_t reason_bytes = reason_size > 0 ? static_cast<size_t>(reason_size) : 0;
  if (reason_bytes > 0) reason[0] = '\0';
  if (data == nullptr || size < 0) {
    if (reason_bytes > 0) std::snprintf(reason, reason_bytes, "no model bytes");
    return -1;
  }
  // Create takes ownership of its buffer, so it is handed a copy.
  FallClassifierConfig config;
  ml_tumblix_default_config(&config);
  config.model_data = static_cast<uint8_t*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1));
  if (config.model_data == nullptr) {
    if (reason_bytes > 0) std::snprintf(reason, reason_bytes, "no memory for a copy of the model");
    return -1;
  }
  if (size > 0) std::memcpy(config.model_data, data, static_cast<size_t>(size));
  config.model_size = size;

  // The classifier holds its arena inline: a few kilobytes, kept off the
  // caller's stack.
  FallClassifier* classifier = new FallClassifier;
  tflite::DebugLogCapture capture(reason, reason_bytes);
  const bool usable = ml_tumblix_create(classifier, &config) != nullptr;
  if (usable) ml_tumblix_destroy(classifier);
  delete classifier;
  if (!usable && !capture.captured() && reason_bytes > 0) {
    std::snprintf(reason, reason_bytes, "the runtime cannot run it");
  }
  return usable ? 0 : -1;
}

int ml_tumblix_feed(FallClassifier* classifier, const float* sample, int infer) {
  float* row = classifier->window[classifier->window_pos];
  row[0] = sample[0] * 500.0f;
  row[1] = sample[1] * 500.0f;
  row[2] = sample[2] * 500.0f;
  row[3] = sample[3];
  row[4] = sample[4];
  row[5] = sample[5];
  classifier->window_pos += 1;
  if (classifier->window_pos == kClassifierWindowRows) classifier->window_pos = 0;

  if (infer == 0) return 0;
  if (classifier->input == nullptr) return -1;

  // Oldest row first: window_pos now names the oldest sample, so the ring
  // goes in as two runs of whole rows, from window_pos to the end and then
  // from the start.
  float* input = classifier->input->data.f;
  const int older_rows = kClassifierWindowRows - classifier->window_pos;
  std::memcpy(input, classifier->window[classifier->window_pos], sizeof(classifier->window[0]) * older_rows);
  std::memcpy(input + older_rows * kClassifierChannels, classifier->window[0],
              sizeof(classifier->window[0]) * classifier->window_pos);
  return classifier->interpreter->Invoke() == kTfLiteOk ? 0 : -1;
}

void ml_tumblix_destroy(FallClassifier* classifier) {
  if (classifier->interpreter != nullptr) delete classifier->interpreter;
  if (classifier->error_reporter != nullptr) delete classifier->error_reporter;
  if (classifier->op_resolver != nullptr) delete classifier->op_resolver;
  // After the interpreter, which may still look at the model as it goes.
  if (classifier->config.model_data != nullptr) std::free(classifier->config.model_data);
}

void ml_tumblix_print_arena(const FallClassifier* classifier) {
  const size_t used = classifier->interpreter != nullptr ? classifier->interpreter->arena_used_bytes() : 0;
  std::printf("arena_used_bytes : %d\r\n", static_cast<int>(used));
}

float ml_tumblix_score(const FallClassifier* classifier, int index) {
  if (classifier->output == nullptr || index < 0 || index >= kOutputElements) return 0.0f;
  return classifier->output->data.f[index];
}
