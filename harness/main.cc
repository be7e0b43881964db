#include <cstdio>

#include "harness/command_line.h"

int main(int argc, char** argv) {
  const int status = RunCommandLine(argc, argv);
  // Standard output carries the results; a failed flush must not pass for a
  // complete report.
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "tumblebench: standard output could not be written.\n");
    return status == 0 ? 2 : status;
  }
  return status;
}
