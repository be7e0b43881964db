#include <unistd.h>

#include <cstdio>

#include "harness/command_line.h"

namespace {

// Given to setvbuf, which ignores the size it is given without a buffer.
char g_stdout_buffer[1 << 16];

}  // namespace

int main(int argc, char** argv) {
  // A run over a data set prints a line for every evaluated sample; when that
  // goes to a file or a pipe, a buffer of 64 KiB instead of one block keeps
  // the number of writes small. A terminal stays line-buffered.
  if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, g_stdout_buffer, _IOFBF, sizeof(g_stdout_buffer));
  const int status = RunCommandLine(argc, argv);
  // Standard output carries the results; a write that failed at any point
  // (a full disk that later frees up) must not pass for a complete report.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "tumblebench: standard output could not be written.\n");
    return status == 0 ? 2 : status;
  }
  return status;
}
