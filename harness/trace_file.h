#ifndef HARNESS_TRACE_FILE_H
#define HARNESS_TRACE_FILE_H

#include <cstddef>
#include <cstdio>

#include "tumblix/raw_sample.h"

struct TumblixDetector;

// Size of the replay's line buffer, which first holds the trace name.
constexpr size_t kRecordingLineBufferSize = 2048;

extern const char kTraceHeader[];

// The trace lies next to the recording: its last four characters (the
// extension) are replaced by "_DSV.csv". False when the path is shorter than
// four characters or the name does not fit into out_size bytes.
bool FormTraceName(const char* recording_path, char* out, size_t out_size);

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
