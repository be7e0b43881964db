#include "harness/label_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "harness/stop_signals.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr char kInterpreter[] = "/bin/sh";
constexpr int kCommandBufferSize = 1024;
constexpr char kPathListSeparator = ':';
// How often a running converter is looked at, and how long a converter that
// was asked to stop gets before its whole process group is killed.
constexpr long kPollInterval_ms = 10;
constexpr double kStopGrace_s = 2.0;
// The interpreter reports a command that died of a signal as 128 + its number.
constexpr int kShellSignalStatusBase = 128;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Characters that the command interpreter takes literally in a word.
bool IsShellSafe(const char* text) {
  if (*text == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c) {
    const unsigned char u = static_cast<unsigned char>(*c);
    if (!std::isalnum(u) && std::strchr("_-.+", *c) == nullptr) return false;
  }
  return true;
}

// The directory that holds the running program; empty when it is unknown.
std::string ProgramDirectory() {
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (error) return std::string();
  return program.parent_path().string();
}

// The search path used when PATH is unset, as the interpreter would.
std::string DefaultSearchPath() {
  const size_t size = confstr(_CS_PATH, nullptr, 0);
  if (size == 0) return "/usr/bin:/bin";
  std::string value(size, '\0');
  confstr(_CS_PATH, &value[0], size);
  value.resize(size - 1);
  return value;
}

// Our environment, with the program's own directory first on PATH.
std::vector<std::string> ConverterEnvironment() {
  std::vector<std::string> environment;
  const char* search_path = nullptr;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "PATH=", 5) == 0) {
      if (search_path == nullptr) search_path = *entry + 5;
      continue;
    }
    environment.push_back(*entry);
  }
  const std::string program_dir = ProgramDirectory();
  const std::string rest = search_path != nullptr ? search_path : DefaultSearchPath();
  environment.push_back("PATH=" + (program_dir.empty() ? rest : program_dir + kPathListSeparator + rest));
  return environment;
}

// The time limit in seconds, 0 for none; read once per run.
double LabelToolTimeout_s() {
  static const double timeout_s = [] {
    const char* text = std::getenv(kLabelToolTimeoutVariable);
    if (text == nullptr || *text == '\0') return kDefaultLabelToolTimeout_s;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !(value >= 0.0) || !std::isfinite(value)) {
      std::fprintf(stderr, "tumblebench: %s=%s is not a number of seconds; the converter gets %g s.\n",
                   kLabelToolTimeoutVariable, text, kDefaultLabelToolTimeout_s);
      return kDefaultLabelToolTimeout_s;
    }
    return value;
  }();
  return timeout_s;
}

// Starts "/bin/sh -c command" as the leader of a new process group, with the
// caught signals back at their defaults and standard input from /dev/null
// (a background group that read the terminal would be stopped). -1 with
// *error set when it cannot be started.
pid_t StartConverter(const char* command, const SavedChildSignals& saved, int* error) {
  const std::vector<std::string> environment = ConverterEnvironment();
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command), nullptr};

  sigset_t defaults;
  sigemptyset(&defaults);
  AddCaughtStopSignals(saved.stop, &defaults);
  sigaddset(&defaults, SIGCHLD);
  sigset_t no_mask;
  sigemptyset(&no_mask);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &no_mask);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

  pid_t pid = -1;
  const int result = posix_spawn(&pid, kInterpreter, &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) {
    *error = result;
    return -1;
  }
  return pid;
}

// One conversion's process-group leader, and its end once collected.
struct Converter {
  pid_t pid;
  bool ended;
  int status;  // the wait status; -1 when it could not be had
  int wait_error;
};

// Collects the converter's end, waiting for it when `block`; true once it
// has ended.
bool Collect(Converter* converter, bool block) {
  if (converter->ended) return true;
  int status = 0;
  const pid_t result = waitpid(converter->pid, &status, block ? 0 : WNOHANG);
  if (result == converter->pid) {
    converter->ended = true;
    converter->status = status;
  } else if (result < 0 && errno != EINTR) {
    converter->ended = true;
    converter->wait_error = errno;
  }
  return converter->ended;
}

void WaitPollInterval() {
  const struct timespec interval = {0, kPollInterval_ms * 1000000L};
  nanosleep(&interval, nullptr);
}

// A group's id stays taken, so that it names no other process, as long as
// the group has a member.
bool GroupHasMembers(pid_t group) { return kill(-group, 0) == 0 || errno == EPERM; }

// Asks the converter's process group, helpers it started included, to end
// with signal_number; whatever of it is left after the grace period is
// killed.
void StopGroup(Converter* converter, int signal_number) {
  const pid_t group = converter->pid;
  kill(-group, signal_number);
  kill(-group, SIGCONT);  // a stopped process would not act on the request
  const Clock::time_point asked = Clock::now();
  while (SecondsSince(asked) < kStopGrace_s) {
    if (Collect(converter, false) && !GroupHasMembers(group)) return;
    WaitPollInterval();
  }
  kill(-group, SIGKILL);
  while (!Collect(converter, true)) {
  }
}

bool DiedOfInterrupt(int status) {
  if (status == -1) return false;
  return (WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) ||
         (WIFEXITED(status) && WEXITSTATUS(status) == kShellSignalStatusBase + SIGINT);
}

}  // namespace

void RunLabelTool(const char* subject) {
  if (!IsShellSafe(subject)) {
    std::fprintf(stderr,
                 "tumblebench: %s, the subject name is not safe for a command line; "
                 "kfall_label not run.\n",
                 subject);
    return;
  }
  char command[kCommandBufferSize];
  const int length = std::snprintf(command, sizeof(command), "kfall_label %s_down.csv", subject);
  if (length < 0 || length >= static_cast<int>(sizeof(command))) return;

  // The converter's output, and our messages about it, must not overtake
  // (or land inside a line of) what this process has printed.
  std::fflush(stdout);
  std::fflush(stderr);
  const double timeout_s = LabelToolTimeout_s();
  // The converter must not be reaped unseen, and a stop request must reach
  // it before this process ends.
  SavedChildSignals saved;
  CatchSignalsForChildren(&saved);
  int start_error = 0;
  Converter converter = {StartConverter(command, saved, &start_error), false, -1, 0};
  bool timed_out = false;
  if (converter.pid > 0) {
    const Clock::time_point started = Clock::now();
    while (!Collect(&converter, false)) {
      if (NotedStopSignal() != 0) {
        StopGroup(&converter, NotedStopSignal());
        break;
      }
      if (timeout_s > 0.0 && SecondsSince(started) >= timeout_s) {
        timed_out = true;
        StopGroup(&converter, SIGTERM);
        break;
      }
      WaitPollInterval();
    }
  }
  RestoreSignalsForChildren(saved);

  // A stop request that came at any point, even as the converter ended.
  const int stop_signal = NotedStopSignal();
  if (stop_signal != 0) {
    std::fprintf(stderr, "tumblebench: %s, interrupted by signal %d while %s ran; the run is stopped.\n",
                 subject, stop_signal, command);
    EndBySignal(stop_signal);
  }
  const int status = converter.status;
  if (DiedOfInterrupt(status)) {
    std::fprintf(stderr, "tumblebench: %s, %s was interrupted (signal %d); the run is stopped.\n", subject,
                 command, SIGINT);
    EndBySignal(SIGINT);
  }

  // The run goes on whatever the converter did, but a converter that failed
  // may have left a partial label file, which must not pass unremarked.
  if (converter.pid < 0) {
    std::fprintf(stderr, "tumblebench: %s, %s could not be run (%s).\n", subject, command,
                 std::strerror(start_error));
  } else if (timed_out) {
    std::fprintf(stderr,
                 "tumblebench: %s, %s did not finish within %g s and was stopped; its label file may be "
                 "incomplete.\n",
                 subject, command, timeout_s);
  } else if (status == -1) {
    std::fprintf(stderr, "tumblebench: %s, the end of %s could not be awaited (%s).\n", subject, command,
                 std::strerror(converter.wait_error));
  } else if (WIFSIGNALED(status)) {
    std::fprintf(stderr, "tumblebench: %s, %s was ended by signal %d; its label file may be incomplete.\n",
                 subject, command, WTERMSIG(status));
  } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    std::fprintf(stderr,
                 "tumblebench: %s, %s failed with exit status %d; its label file may be incomplete.\n",
                 subject, command, WEXITSTATUS(status));
  }
}
