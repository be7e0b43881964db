#include "harness/trace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "harness/file_utils.h"
#include "tumblix/ml/fall_classifier.h"
#include "tumblix/number_text.h"
#include "tumblix/tumblix.h"

const char kTraceHeader[] =
    "seqno,accX,accY,accZ,gyroX,gyroY,gyroZ,raw_acc,lpf_acc,raw_gyro,lpf_gyro,roll,pitch,yaw,vv,"
    "X/D,normal,down,detect,tc\n";

namespace {

FILE* g_trace = nullptr;
bool g_trace_write_failed = false;
// Length of the earlier trace that the open one is written over (0 when
// there was none or it is not a regular file).
off_t g_earlier_length = 0;
// The open trace's descriptor while it is a regular file written in place,
// for the termination handler; -1 otherwise.
volatile sig_atomic_t g_trace_fd = -1;

// A row is written with one call into a stream buffer much larger than the
// file system's block size, so that a trace of a few thousand rows takes a
// handful of writes. The buffer is given to setvbuf (the C library ignores
// the size it is given without one); one trace is open at a time.
constexpr size_t kTraceStreamBuffer = 1 << 16;
char g_trace_buffer[kTraceStreamBuffer];
constexpr int kTraceColumns = 20;
constexpr size_t kTraceRowMax = kTraceColumns * (kNumberTextMax + 1);

int ScorePercent(const TumblixDetector* detector, int index) {
  const float score = ml_tumblix_score(&detector->classifier, index);
  const float scaled = score * 100.0f;
  // Scores lie in [0, 1]; a NaN from a failed inference must not reach the
  // integer conversion.
  if (!(scaled == scaled)) return 0;
  return static_cast<int>(scaled);
}

void NoteWrite(int result) {
  if (result < 0) g_trace_write_failed = true;
}

// What "w+" leaves when a run is interrupted is a beginning of the new trace.
// A trace written over an earlier one would instead hold the new rows and
// then the rest of the old ones, so on a termination signal the trace is
// cut where the new rows end on disk, and the signal then takes its course.
// (Async-signal-safe calls only.)
void CutTraceAndDie(int signal_number) {
  const int fd = g_trace_fd;
  if (fd >= 0) {
    const off_t written = lseek(fd, 0, SEEK_CUR);
    if (written >= 0) (void)ftruncate(fd, written);
  }
  raise(signal_number);  // the handler was reset on entry: the default action follows
}

// Once per process, for the signals that end it by default and that are not
// handled or ignored already (a run under nohup keeps ignoring SIGHUP).
void CutTracesOnTermination() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  // Requests to end, and the faults of a crash.
  for (int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGABRT, SIGBUS, SIGFPE, SIGSEGV}) {
    struct sigaction current;
    if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction cut = {};
    cut.sa_handler = CutTraceAndDie;
    sigemptyset(&cut.sa_mask);
    cut.sa_flags = SA_RESETHAND;
    sigaction(signal_number, &cut, nullptr);
  }
}

bool Fail(TraceOpenFailure* failure, int error) {
  failure->error = error;
  std::snprintf(failure->reason, sizeof(failure->reason), "%s",
                error == ELOOP ? "a symbolic link is in its place and is not followed" : std::strerror(error));
  return false;
}

// A trace is only ever written into a regular file that has no other name.
bool IsWritableTrace(const struct stat& info, TraceOpenFailure* failure) {
  failure->error = 0;
  if (S_ISDIR(info.st_mode)) return Fail(failure, EISDIR);
  if (!S_ISREG(info.st_mode)) {
    std::snprintf(failure->reason, sizeof(failure->reason), "%s is in its place and is not written to",
                  FileKindName(info.st_mode));
    return false;
  }
  if (info.st_nlink > 1) {
    std::snprintf(failure->reason, sizeof(failure->reason),
                  "the file in its place has %lu hard links, and writing it would change the files linked to it",
                  static_cast<unsigned long>(info.st_nlink));
    return false;
  }
  return true;
}

}  // namespace

FILE* TraceHandle() { return g_trace; }

bool OpenTrace(const char* trace_path, TraceOpenFailure* failure) {
  g_trace = nullptr;
  g_trace_write_failed = false;
  g_earlier_length = 0;
  // The finished trace holds exactly what "w+" would give it, but nothing is
  // written through another name: a symbolic link is not followed (a data
  // set that carries one would otherwise have the replay empty whatever file
  // it points at), a file with other hard links is left alone (its other
  // names may be a label file or another recording), and a FIFO or device
  // is neither opened nor written (a FIFO would hold the run up or swallow
  // the trace). Anything else in the trace's place is refused before it is
  // opened and, should it be swapped in meanwhile, again on what was opened,
  // without O_NONBLOCK letting a FIFO hold the open up.
  //
  // An earlier trace is not emptied first either: the new one is written
  // over it and cut to its own length when it is closed. Emptying a file
  // that is on disk frees its blocks and makes ext4 write the new content
  // out when it is closed (its guard for files replaced by truncation);
  // removing it and creating a new one frees the blocks too. Written over,
  // the file keeps its blocks, its owner and its permissions, and a rerun
  // costs no more than writing into the page cache.
  struct stat earlier;
  if (lstat(trace_path, &earlier) == 0 && !S_ISLNK(earlier.st_mode) && !IsWritableTrace(earlier, failure)) {
    return false;
  }
  const int fd = open(trace_path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return Fail(failure, errno);
  const bool usable = fstat(fd, &earlier) == 0 ? IsWritableTrace(earlier, failure) : Fail(failure, errno);
  const int flags = usable ? fcntl(fd, F_GETFL) : -1;
  if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) g_trace = fdopen(fd, "w+");  // never truncates
  if (g_trace == nullptr) {
    if (usable) Fail(failure, errno);
    close(fd);
    return false;
  }
  std::setvbuf(g_trace, g_trace_buffer, _IOFBF, sizeof(g_trace_buffer));
  g_earlier_length = earlier.st_size;
  CutTracesOnTermination();
  g_trace_fd = fd;
  return true;
}

void AttachTraceStream(FILE* stream) {
  g_trace = stream;
  g_trace_write_failed = false;
  g_earlier_length = 0;
  g_trace_fd = -1;
}

void WriteTraceHeader() { NoteWrite(std::fputs(kTraceHeader, g_trace)); }

void WriteTraceRow(const TumblixDetector* detector, const RawSample* s, int mode, int onset,
                   int impact) {
  const MotionFeatures& f = detector->features;
  const int seqno = detector->sample_count;
  const bool in_span = onset > 0 && onset <= seqno && seqno < impact;
  // The columns as "%d,...,%d,%.2f,X,%d,%d,%d,%d\n" would print them.
  char row[kTraceRowMax];
  char* p = row;
  const int32_t leading[] = {seqno,      s->accX,    s->accY,    s->accZ,     s->gyroX,
                             s->gyroY,   s->gyroZ,   f.raw_acc,  f.lpf_acc,   f.raw_gyro,
                             f.lpf_gyro, f.roll,     f.pitch,    f.yaw};
  for (int32_t value : leading) {
    p = AppendInt(p, value);
    *p++ = ',';
  }
  p = AppendFixed2(p, f.vv, 0);
  *p++ = ',';
  *p++ = in_span ? 'D' : 'X';
  *p++ = ',';
  const int32_t trailing[] = {ScorePercent(detector, 0), ScorePercent(detector, 1), mode, mode == 1 ? 1 : 0};
  for (int32_t value : trailing) {
    p = AppendInt(p, value);
    *p++ = ',';
  }
  p[-1] = '\n';
  const size_t length = static_cast<size_t>(p - row);
  if (std::fwrite(row, 1, length, g_trace) != length) g_trace_write_failed = true;
}

bool CloseTrace() {
  if (g_trace == nullptr) return true;
  bool ok = !g_trace_write_failed;
  if (std::fflush(g_trace) != 0 || std::ferror(g_trace)) ok = false;
  if (g_earlier_length > 0) {
    // The rest of a longer earlier trace goes; after a failed write, so
    // does everything past what reached the file.
    const off_t written = lseek(fileno(g_trace), 0, SEEK_CUR);
    if (written < g_earlier_length && ftruncate(fileno(g_trace), written) != 0) ok = false;
  }
  g_trace_fd = -1;
  if (std::fclose(g_trace) != 0) ok = false;
  g_trace = nullptr;
  return ok;
}
