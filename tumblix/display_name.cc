#include "tumblix/display_name.h"

#include <cstring>

namespace {
char g_display_name[kDisplayNameLength + 1] = "";
}

void tumblix_set_display_name(const char* display_name) {
  std::strncpy(g_display_name, display_name, kDisplayNameLength);
  g_display_name[kDisplayNameLength] = '\0';
}

const char* tumblix_display_name() { return g_display_name; }
