#ifndef BENCH_SILENCED_STDOUT_H
#define BENCH_SILENCED_STDOUT_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

// Keeps the detector's console lines out of the benchmark's report while the
// object lives.
class SilencedStdout {
 public:
  SilencedStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
  ~SilencedStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  SilencedStdout(const SilencedStdout&) = delete;
  SilencedStdout& operator=(const SilencedStdout&) = delete;

 private:
  int saved_;
};

#endif
