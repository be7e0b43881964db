#ifndef HARNESS_TRACE_FILE_H
#define HARNESS_TRACE_FILE_H

#include <cstddef>
#include <cstdio>

#include "tumblix/raw_sample.h"

struct TumblixDetector;

extern const char kTraceHeader[];

// The process-wide trace that ProcessSample writes to; nullptr when none is
// open.
FILE* TraceHandle();
// Why OpenTrace did not open a trace: the errno value of a failure (0 when
// the file in the trace's place was refused) and the words for the
// replay's message.
struct TraceOpenFailure {
  int error;
  char reason[128];
};

// Opens the trace, creating it when it is missing. An earlier trace is
// written over and cut to the new length by CloseTrace (or by a termination
// signal), so the file ends up as if it had been emptied first. Only a
// regular file with no other name is ever written: a symbolic link, a FIFO,
// a device, a socket or a folder in the trace's place, or a file with more
// than one hard link, is refused untouched (false, with *failure filled in).
bool OpenTrace(const char* trace_path, TraceOpenFailure* failure);
// Writes the column-title line.
void WriteTraceHeader();
// One row for the sample the detector has just processed.
void WriteTraceRow(const TumblixDetector* detector, const RawSample* sample, int mode, int onset,
                   int impact);
// Closes the trace; false when any write or the close failed, so that a
// truncated trace is never taken for a complete one.
bool CloseTrace();

// For tests: write the rows to an already open stream (for example a full
// disk) instead of a named file.
void AttachTraceStream(FILE* stream);

#endif
