#include "tumblix/ml/fall_classifier.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#include "tumblix/ml/fall_model.h"
#include "tumblix/ml/runtime/tflite_micro.h"

namespace {

constexpr int kInputElements = kClassifierWindowRows * kClassifierChannels;
constexpr int kOutputElements = 2;

bool IsFloatTensorOf(const TfLiteTensor* tensor, size_t elements) {
  return tensor != nullptr && tensor->type == kTfLiteFloat32 && tensor->data.f != nullptr &&
         tensor->bytes == elements * sizeof(float);
}

// A buffer that did not come from the program is checked before anything
// reads it: a truncated or foreign file must fail here, not crash the
// interpreter. What the flatbuffer holds (types, shapes, operators) is
// checked by AllocateTensors.
bool ModelBufferIsSound(const uint8_t* data, int32_t size, tflite::ErrorReporter* reporter) {
  if (size < 8 || !flatbuffers::BufferHasIdentifier(data, tflite::ModelIdentifier())) {
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

}  // namespace

int ml_tumblix_default_config(FallClassifierConfig* config) {
  config->reserved = 0;
  config->model_data = nullptr;
  config->model_size = 0;
  return 0;
}

int ml_tumblix_load_model(FallClassifierConfig* config, const char* path) {
  config->model_data = nullptr;
  config->model_size = 0;
  if (path == nullptr) return 0;

  std::FILE* file = std::fopen(path, "rb");
  // A directory opens for reading on some systems but is no model file.
  struct stat status;
  if (file != nullptr && (fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode))) {
    std::fclose(file);
    file = nullptr;
  }
  if (file == nullptr) {
    std::printf("ml_tumblix : %s, not opened.\n", path);
    return -1;
  }
  // A stream that cannot tell its length (a pipe, a directory) cannot be
  // read as a model either.
  long length = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) length = std::ftell(file);
  if (length < 0) {
    std::printf("ml_tumblix : model_data, not read.\n");
    std::fclose(file);
    return -1;
  }
  if (length > INT32_MAX) {
    std::printf("ml_tumblix : model_data, not allocated.\n");
    std::fclose(file);
    return -1;
  }
  config->model_size = static_cast<int32_t>(length);
  // At least one byte, so that an empty file still yields a buffer of its
  // own rather than a null that would select the built-in model.
  config->model_data = static_cast<uint8_t*>(std::malloc(length > 0 ? static_cast<size_t>(length) : 1));
  if (config->model_data == nullptr) {
    std::printf("ml_tumblix : model_data, not allocated.\n");
    config->model_size = 0;
    std::fclose(file);
    return -1;
  }
  const size_t wanted = static_cast<size_t>(length);
  if (std::fseek(file, 0, SEEK_SET) != 0 || std::fread(config->model_data, 1, wanted, file) != wanted) {
    std::printf("ml_tumblix : model_data, not read.\n");
    std::free(config->model_data);
    config->model_data = nullptr;
    config->model_size = 0;
    std::fclose(file);
    return -1;
  }
  std::fclose(file);
  return 0;
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
