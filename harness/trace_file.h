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
// Opens (creating or emptying) the trace; false when it cannot be created.
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
