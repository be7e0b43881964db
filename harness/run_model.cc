#include "harness/run_model.h"

#include <sys/stat.h>

#include <cerrno>
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

  // The loader's own messages say only "not opened"; the cause is named here
  // first, for the cases a user can mend.
  struct stat status;
  if (stat(path, &status) != 0) return Refuse(path, std::strerror(errno));
  if (!S_ISREG(status.st_mode)) return Refuse(path, "not a regular file");
  if (std::FILE* probe = std::fopen(path, "rb")) {
    std::fclose(probe);
  } else {
    return Refuse(path, std::strerror(errno));
  }

  FallClassifierConfig config;
  ml_tumblix_default_config(&config);
  if (ml_tumblix_load_model(&config, path) != 0) return Refuse(path, "the file could not be read");
  std::unique_ptr<uint8_t, FreeDeleter> bytes(config.model_data);
  char reason[256];
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
