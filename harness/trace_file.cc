#include "harness/trace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tumblix/ml/fall_classifier.h"
#include "tumblix/number_text.h"
#include "tumblix/tumblix.h"

const char kTraceHeader[] =
    "seqno,accX,accY,accZ,gyroX,gyroY,gyroZ,raw_acc,lpf_acc,raw_gyro,lpf_gyro,roll,pitch,yaw,vv,"
    "X/D,normal,down,detect,tc\n";

namespace {

FILE* g_trace = nullptr;
bool g_trace_write_failed = false;

// A row is written with one call; the stream's own buffer is enlarged from
// the file system's block size so that a trace of a few thousand rows takes
// a handful of writes.
constexpr size_t kTraceStreamBuffer = 1 << 16;
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

}  // namespace

FILE* TraceHandle() { return g_trace; }

bool OpenTrace(const char* trace_path) {
  g_trace = nullptr;
  g_trace_write_failed = false;
  // Opened as "w+" would, except that a symbolic link in the trace's place
  // is not followed: a data set that carries one would otherwise have the
  // replay empty whatever file it points at.
  const int fd = open(trace_path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  g_trace = fdopen(fd, "w+");
  if (g_trace == nullptr) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return false;
  }
  std::setvbuf(g_trace, nullptr, _IOFBF, kTraceStreamBuffer);
  return true;
}

void AttachTraceStream(FILE* stream) {
  g_trace = stream;
  g_trace_write_failed = false;
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
  if (std::fclose(g_trace) != 0) ok = false;
  g_trace = nullptr;
  return ok;
}
