#include "harness/file_utils.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

bool GetCurrentDir(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return false;
  return getcwd(buffer, static_cast<size_t>(size)) != nullptr;
}

bool ChangeDir(const char* path) { return path != nullptr && chdir(path) == 0; }

bool IsFileReadable(const char* path) {
  if (path == nullptr) return false;
  struct stat info;
  if (stat(path, &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) return access(path, R_OK) == 0;
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

FILE* OpenRegularFile(const char* path, struct stat* info, int* error) {
  *error = 0;
  if (stat(path, info) != 0) {
    *error = errno;
    return nullptr;
  }
  if (!S_ISREG(info->st_mode)) return nullptr;
  // Non-blocking, so that a file swapped for a FIFO since the stat does not
  // hold the open up; the check is then repeated on what was opened.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  FILE* file = nullptr;
  if (fstat(fd, info) != 0) {
    *error = errno;
  } else if (S_ISREG(info->st_mode)) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      *error = errno;
    } else {
      file = fdopen(fd, "r");
      if (file == nullptr) *error = errno;
    }
  }
  if (file == nullptr) close(fd);
  return file;
}

const char* FileKindName(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISREG(mode)) return "a regular file";
  return "a special file";
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
