#include "harness/missing_results.h"

#include <cerrno>

namespace {

MissingResults g_missing = {0, 0};

}  // namespace

MissingResults* ProcessMissingResults() { return &g_missing; }

bool IsResourceShortage(int error) { return error == EMFILE || error == ENFILE || error == ENOMEM; }

void NoteFileNotOpened(int error) {
  if (IsResourceShortage(error)) g_missing.files += 1;
}

bool RunIsIncomplete() { return g_missing.subjects > 0 || g_missing.files > 0; }
