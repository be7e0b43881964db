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
// Opens the trace, creating it when it is missing; false when it cannot be
// opened (a symbolic link in its place is refused). An earlier trace is
// written over and cut to the new length by CloseTrace (or by a termination
// signal), so the file ends up as if it had been emptied first.
bool OpenTrace(const char* trace_path);
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
