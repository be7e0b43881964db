#ifndef HARNESS_MISSING_RESULTS_H
#define HARNESS_MISSING_RESULTS_H

#include <cstdint>

// Results that a run's report leaves out through a fault of the run itself
// rather than of the data set: a subject whose worker failed, or a file that
// could not be opened because the process had run short of descriptors or
// memory (a lower limit, or fewer jobs, would have given another report).
// The data set's own faults (a missing recording, a folder that cannot be
// entered, a converter that fails) are named where they happen and do not
// count here. A run with missing results ends with kExitIncomplete.
struct MissingResults {
  int32_t subjects;  // workers that failed
  int32_t files;     // recordings, traces or label files not opened
};

// The run's one record; a worker hands its own back to the parent.
MissingResults* ProcessMissingResults();

// True when an errno value from opening a file says that the process ran
// short of a resource, not that the file is missing or unusable.
bool IsResourceShortage(int error);

// Counts a file that could not be opened, when `error` is a resource
// shortage; the caller has named the file already.
void NoteFileNotOpened(int error);

// True when the report leaves out results (see above).
bool RunIsIncomplete();

#endif
