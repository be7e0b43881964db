#include "harness/run_model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tumblix/ml/fall_classifier.h"

const char kRunModelVariable[] = "TUMBLIX_MODEL";

namespace {

struct FreeDeleter {
  void operator()(uint8_t* bytes) const { std::free(bytes); }
};

// The file's bytes, read once; every detector gets its own copy because the
// classifier frees its buffer when it is destroyed.
std::string g_path;
std::unique_ptr<uint8_t, FreeDeleter> g_bytes;
int32_t g_size = 0;

bool Refuse(const char* path, const char* reason) {
  // The runtime's reasons are sentences of their own; one full stop ends the
  // line.
  size_t length = std::strlen(reason);
  while (length > 0 && reason[length - 1] == '.') --length;
  std::fprintf(stderr, "tumblebench: %s (%s), the model cannot be used: %.*s. Nothing was replayed.\n",
               path, kRunModelVariable, static_cast<int>(length), reason);
  return false;
}

}  // namespace

bool LoadRunModel() {
  const char* path = std::getenv(kRunModelVariable);
  if (path == nullptr || path[0] == '\0') return true;

  // The loader of the classifier module reports on standard output; this
  // reader says nothing there and gives the reason instead, and it checks
  // the file's size and identifier before reading it whole.
  FallClassifierConfig config;
  ml_tumblix_default_config(&config);
  char reason[256];
  if (ml_tumblix_read_model_file(&config, path, reason, sizeof(reason)) != 0) return Refuse(path, reason);
  std::unique_ptr<uint8_t, FreeDeleter> bytes(config.model_data);
  if (ml_tumblix_check_model(bytes.get(), config.model_size, reason, sizeof(reason)) != 0) {
    return Refuse(path, reason);
  }
  g_path = path;
  g_bytes = std::move(bytes);
  g_size = config.model_size;
  return true;
}

bool ApplyRunModel(FallClassifierConfig* config) {
  if (!g_bytes) return true;
  auto* copy = static_cast<uint8_t*>(std::malloc(g_size > 0 ? static_cast<size_t>(g_size) : 1));
  if (copy == nullptr) return false;
  std::memcpy(copy, g_bytes.get(), static_cast<size_t>(g_size));
  config->model_data = copy;
  config->model_size = g_size;
  return true;
}

const char* RunModelPath() { return g_bytes ? g_path.c_str() : nullptr; }
