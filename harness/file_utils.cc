#include "harness/file_utils.h"

#include <unistd.h>

#include <cstdio>

bool GetCurrentDir(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return false;
  return getcwd(buffer, static_cast<size_t>(size)) != nullptr;
}

bool ChangeDir(const char* path) { return path != nullptr && chdir(path) == 0; }

bool IsFileReadable(const char* path) {
  if (path == nullptr) return false;
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

bool RemoveFile(const char* path) { return path != nullptr && std::remove(path) == 0; }

bool AppendLine(const char* path, const char* line) {
  if (path == nullptr || line == nullptr) return false;
  FILE* file = std::fopen(path, "a+");
  if (file == nullptr) return false;
  // A line that never reached the disk must not pass for an appended one.
  const bool written = std::fprintf(file, "%s\n", line) >= 0;
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

int SplitCsvLine(char* line, char** fields, int max_fields) {
  if (line == nullptr || fields == nullptr || max_fields <= 0) return 0;
  int count = 0;
  char* cursor = line;
  while (*cursor != '\0') {
    fields[count] = cursor;
    if (*cursor == '"') {
      ++cursor;
      while (*cursor != '\0' && *cursor != '"') ++cursor;
      if (*cursor == '"') ++cursor;
    }
    while (*cursor != '\0' && *cursor != ',') ++cursor;
    if (*cursor == ',') {
      *cursor = '\0';
      ++cursor;
    }
    ++count;
    if (count >= max_fields) break;
  }
  return count;
}
