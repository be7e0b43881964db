#include "harness/subject_workers.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness/eval_stats.h"
#include "harness/exit_status.h"
#include "harness/file_utils.h"
#include "harness/missing_results.h"
#include "harness/scoring.h"
#include "harness/stop_signals.h"

namespace {

// Subjects whose output waits for an earlier, slower one are held in
// temporary files; this bounds how far the workers may run ahead of the
// subject whose output is written next.
constexpr size_t kMinimumLookahead = 64;
constexpr size_t kCopyBufferSize = 1 << 16;

// What a worker hands back, in memory shared with the parent. `finished` is
// set last, so a worker that died on the way leaves it 0.
struct WorkerReport {
  EvalStats stats;
  MissingResults missing;
  int32_t entered;
  int32_t finished;
};

struct Worker {
  pid_t pid = -1;
  FILE* output = nullptr;          // the worker's standard output
  WorkerReport* report = nullptr;  // shared with the worker
  bool ended = false;
  bool lost = false;  // ended without this process seeing how
  int status = 0;
};

// Makes the subject folder the current directory and runs the visit; false
// when the folder cannot be entered.
bool EnterAndVisit(const SubjectFolder& subject, SubjectVisitor visit, void* context) {
  if (!ChangeDir(subject.path.c_str())) {
    std::fprintf(stderr, "tumblebench: %s, the subject folder cannot be entered (%s); skipped.\n",
                 subject.path.c_str(), std::strerror(errno));
    return false;
  }
  visit(subject.name.c_str(), context);
  return true;
}

void AddEvalStats(EvalStats* into, const EvalStats& from) {
  // Every field is a count, so a run's statistics are the sum of its parts.
  static_assert(sizeof(EvalStats) % sizeof(int32_t) == 0, "EvalStats holds int32 counters only");
  int32_t* to = reinterpret_cast<int32_t*>(into);
  const int32_t* add = reinterpret_cast<const int32_t*>(&from);
  for (size_t i = 0; i < sizeof(EvalStats) / sizeof(int32_t); ++i) to[i] += add[i];
}

// An unnamed file for a worker's standard output, in TMPDIR (or /tmp);
// nullptr with errno set when it cannot be made.
FILE* TemporaryOutput() {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/tumblebench-XXXXXX";
  const int fd = mkostemp(&pattern[0], O_CLOEXEC);
  if (fd < 0) return nullptr;
  unlink(pattern.c_str());
  FILE* file = fdopen(fd, "w+");
  if (file == nullptr) {
    const int saved = errno;
    close(fd);
    errno = saved;
  }
  return file;
}

void AddMissingResults(MissingResults* into, const MissingResults& from) {
  into->subjects += from.subjects;
  into->files += from.files;
}

class WorkerPool {
 public:
  WorkerPool(const std::vector<SubjectFolder>& subjects, SubjectVisitor visit, void* context)
      : subjects_(subjects), visit_(visit), context_(context), workers_(subjects.size()) {}

  // Runs every subject; returns the number whose folder was entered.
  int Run(int jobs) {
    TakeOverSignals();
    const size_t lookahead = std::max(kMinimumLookahead, static_cast<size_t>(jobs) * 4);
    size_t next_start = 0;
    while (next_emit_ < subjects_.size()) {
      if (NotedStopSignal() != 0) StopEverything(NotedStopSignal());
      if (stdout_gone_) StopEverything(SIGPIPE);
      while (!serial_ && active_ < jobs && next_start < subjects_.size() && next_start < next_emit_ + lookahead) {
        if (!Start(next_start)) break;
        ++next_start;
      }
      if (active_ > 0) WaitForOne();
      EmitReady();
      if (serial_ && active_ == 0 && next_emit_ == next_start) {
        // No worker could be started: the rest run here, in order.
        GiveBackSignals();
        for (; next_start < subjects_.size(); ++next_start, ++next_emit_) {
          if (EnterAndVisit(subjects_[next_start], visit_, context_)) ++entered_;
        }
        return entered_;
      }
    }
    if (stdout_gone_) StopEverything(SIGPIPE);
    GiveBackSignals();
    return entered_;
  }

 private:
  // False when the worker was not started: for now, when this process is
  // out of descriptors while other workers' outputs are still held (it
  // tries again once one is written); for good otherwise (serial_).
  bool Start(size_t index) {
    Worker& w = workers_[index];
    w.output = TemporaryOutput();
    if (w.output == nullptr && (errno == EMFILE || errno == ENFILE) && active_ > 0) return false;
    void* shared = mmap(nullptr, sizeof(WorkerReport), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    w.report = shared == MAP_FAILED ? nullptr : static_cast<WorkerReport*>(shared);
    // Whatever this process has buffered must not be written twice.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = getpid();
    w.pid = (w.output != nullptr && w.report != nullptr) ? fork() : -1;
    if (w.pid == 0) RunWorker(index, parent);  // does not return
    if (w.pid < 0) {
      std::fprintf(stderr,
                   "tumblebench: no worker process can be started (%s); the remaining subjects run one "
                   "after another.\n",
                   std::strerror(errno));
      Release(w);
      serial_ = true;
      return false;
    }
    ++active_;
    return true;
  }

  [[noreturn]] void RunWorker(size_t index, pid_t parent) {
    Worker& w = workers_[index];
    GiveBackSignals();
    // A run that ends, however it ends (an interrupt, a closed pipe, kill
    // -9), takes its workers with it rather than leave them writing traces.
    prctl(PR_SET_PDEATHSIG, WorkerStopSignal());
    if (getppid() != parent) _exit(kExitIncomplete);
    if (dup2(fileno(w.output), STDOUT_FILENO) < 0) _exit(kExitOutputFailed);
    CloseInheritedOutputs();
    std::clearerr(stdout);
    EvalStats* stats = ProcessEvalStats();
    std::memset(stats, 0, sizeof(*stats));
    MissingResults* missing = ProcessMissingResults();
    std::memset(missing, 0, sizeof(*missing));
    const bool entered = EnterAndVisit(subjects_[index], visit_, context_);
    const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
    std::memcpy(&w.report->stats, stats, sizeof(*stats));
    w.report->missing = *missing;
    w.report->entered = entered ? 1 : 0;
    w.report->finished = written ? 1 : 0;
    // No exit handlers or static destructors: they belong to the parent.
    _exit(written ? kExitRunDone : kExitOutputFailed);
  }

  void WaitForOne() {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    // A worker ended by an interrupt was interrupted as one process would
    // have been (its label converter died of one, say): the run stops.
    if (pid > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) {
      for (Worker& w : workers_) {
        if (w.pid == pid) w.ended = true;
      }
      StopEverything(SIGINT);
    }
    if (pid < 0) {
      if (errno == EINTR && NotedStopSignal() != 0) StopEverything(NotedStopSignal());
      if (errno == ECHILD) {
        // Nothing left to wait for: workers not yet seen to end are lost.
        for (Worker& w : workers_) {
          if (w.pid > 0 && !w.ended) w.ended = w.lost = true;
        }
        active_ = 0;
      }
      return;
    }
    for (size_t i = next_emit_; i < workers_.size(); ++i) {
      Worker& w = workers_[i];
      if (w.pid == pid && !w.ended) {
        w.ended = true;
        w.status = status;
        --active_;
        return;
      }
    }
  }

  // An interrupt or termination request: the workers get the same signal,
  // and once they are gone this process ends by it, with no report. When
  // standard output has gone (its reader ended: `tumblebench -r | head`),
  // the workers are asked to stop, and this process ends by SIGPIPE as one
  // process writing there would.
  [[noreturn]] void StopEverything(int signal_number) {
    const int to_workers = signal_number == SIGPIPE ? WorkerStopSignal() : signal_number;
    for (Worker& w : workers_) {
      if (w.pid > 0 && !w.ended) kill(w.pid, to_workers);
    }
    for (Worker& w : workers_) {
      if (w.pid > 0 && !w.ended) waitpid(w.pid, nullptr, 0);
    }
    GiveBackSignals();
    EndBySignal(signal_number);
  }

  // While workers run, this process notes the stop signals, sees its
  // workers end whatever SIGCHLD's disposition was, and learns of a closed
  // standard output from a failed write (EPIPE) instead of dying of SIGPIPE
  // with its workers left running.
  void TakeOverSignals() {
    CatchSignalsForChildren(&saved_);
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &saved_pipe_);
  }

  void GiveBackSignals() {
    RestoreSignalsForChildren(saved_);
    sigaction(SIGPIPE, &saved_pipe_, nullptr);
  }

  // The signal that asks a worker to stop: SIGTERM, which stops its label
  // converter and cuts its trace, unless the run ignores it.
  int WorkerStopSignal() const {
    for (size_t i = 0; i < kStopSignalCount; ++i) {
      if (kStopSignals[i] == SIGTERM && !saved_.stop.caught[i]) return SIGKILL;
    }
    return SIGTERM;
  }

  // A worker holds only its own output: the other workers' outputs that
  // this process held when it forked would count against the worker's
  // descriptor limit and starve its replays. The streams themselves are
  // left alone (closing one could move the offset it shares with this
  // process).
  void CloseInheritedOutputs() {
    for (Worker& other : workers_) {
      if (other.output != nullptr) close(fileno(other.output));
    }
  }

  // Writes, in the walk's order, the output of every subject whose worker
  // has ended and whose predecessors are written.
  void EmitReady() {
    while (next_emit_ < workers_.size() && workers_[next_emit_].ended) {
      Worker& w = workers_[next_emit_];
      const bool exited = !w.lost && WIFEXITED(w.status) && WEXITSTATUS(w.status) == kExitRunDone;
      if (exited && w.report->finished == 1 && CopyToStdout(w.output)) {
        AddEvalStats(ProcessEvalStats(), w.report->stats);
        AddMissingResults(ProcessMissingResults(), w.report->missing);
        if (w.report->entered) ++entered_;
      } else {
        ProcessMissingResults()->subjects += 1;
        const std::string& name = subjects_[next_emit_].name;
        if (!w.lost && WIFSIGNALED(w.status)) {
          std::fprintf(stderr,
                       "tumblebench: %s, the worker for this subject was ended by signal %d; its results "
                       "are missing from the report.\n",
                       name.c_str(), WTERMSIG(w.status));
        } else {
          std::fprintf(stderr,
                       "tumblebench: %s, the worker for this subject could not hand over its results; they "
                       "are missing from the report.\n",
                       name.c_str());
        }
      }
      Release(w);
      ++next_emit_;
      if (stdout_gone_) return;
    }
  }

  // False when the worker's output cannot be read back. A write to
  // standard output that fails because its reader has gone ends the copy
  // and, through stdout_gone_, the run, as SIGPIPE would end one process.
  // A run that ignores SIGPIPE goes on, as one process would, and ends
  // with the status of an output that could not be written.
  bool CopyToStdout(FILE* output) {
    if (std::fflush(output) != 0 || std::fseek(output, 0, SEEK_SET) != 0) return false;
    char buffer[kCopyBufferSize];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), output)) > 0) {
      if (std::fwrite(buffer, 1, got, stdout) != got && errno == EPIPE && saved_pipe_.sa_handler != SIG_IGN) {
        stdout_gone_ = true;
        break;
      }
    }
    return !std::ferror(output);
  }

  static void Release(Worker& w) {
    if (w.output != nullptr) std::fclose(w.output);
    if (w.report != nullptr) munmap(w.report, sizeof(WorkerReport));
    w.output = nullptr;
    w.report = nullptr;
  }

  const std::vector<SubjectFolder>& subjects_;
  SubjectVisitor visit_;
  void* context_;
  std::vector<Worker> workers_;
  SavedChildSignals saved_;
  struct sigaction saved_pipe_ = {};
  bool stdout_gone_ = false;
  size_t next_emit_ = 0;
  int active_ = 0;
  int entered_ = 0;
  bool serial_ = false;
};

}  // namespace

int WalkJobs() {
  const char* text = std::getenv(kJobsVariable);
  if (text != nullptr && text[0] != '\0') {
    char* end = nullptr;
    errno = 0;
    const long jobs = std::strtol(text, &end, 10);
    if (errno == 0 && *end == '\0' && jobs >= 1 && jobs <= 4096) return static_cast<int>(jobs);
    std::fprintf(stderr, "tumblebench: %s=%s is not a number of workers from 1 to 4096; ignored.\n",
                 kJobsVariable, text);
  }
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof(cpus), &cpus) == 0) return std::max(1, CPU_COUNT(&cpus));
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

int RunSubjects(const std::vector<SubjectFolder>& subjects, SubjectVisitor visit, void* context, int jobs) {
  if (jobs <= 1 || subjects.size() <= 1) {
    int entered = 0;
    for (const SubjectFolder& subject : subjects) {
      if (EnterAndVisit(subject, visit, context)) ++entered;
    }
    return entered;
  }
  WorkerPool pool(subjects, visit, context);
  return pool.Run(jobs);
}
