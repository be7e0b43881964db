#include "tumblix/display_name.h"

#include <cstring>

namespace {
char g_display_name[kDisplayNameLength + 1] = "";
}

void tumblix_set_display_name(const char* recording_path) {
  const size_t length = std::strlen(recording_path);
  const char* tail = length > static_cast<size_t>(kDisplayNameLength)
                         ? recording_path + (length - kDisplayNameLength)
                         : recording_path;
  std::strncpy(g_display_name, tail, kDisplayNameLength);
  g_display_name[kDisplayNameLength] = '\0';
}

const char* tumblix_display_name() { return g_display_name; }
