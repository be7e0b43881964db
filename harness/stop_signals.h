#ifndef HARNESS_STOP_SIGNALS_H
#define HARNESS_STOP_SIGNALS_H

#include <signal.h>

#include <cstddef>

// Signals that ask the whole run to stop: an interrupt from the terminal, a
// termination request, a hang-up, a quit.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kStopSignalCount = sizeof(kStopSignals) / sizeof(kStopSignals[0]);

// The stop signals' dispositions before CatchStopSignals.
struct SavedStopSignals {
  struct sigaction action[kStopSignalCount];
  // False for a signal ignored since before (a run under nohup ignores
  // SIGHUP): it stays ignored, as it would be for one process.
  bool caught[kStopSignalCount];
};

// From here on a stop signal that is not ignored is only noted, so that the
// caller can stop what it started (a converter, workers) before the run
// ends. Clears any earlier note.
void CatchStopSignals(SavedStopSignals* saved);
// Puts back the dispositions CatchStopSignals replaced.
void RestoreStopSignals(const SavedStopSignals& saved);
// The last stop signal noted since CatchStopSignals; 0 when none.
int NotedStopSignal();
// Adds the caught signals to set, for a child that is to take their
// defaults.
void AddCaughtStopSignals(const SavedStopSignals& saved, sigset_t* set);

// What a process replaces while it starts children and waits for them: the
// stop signals are caught as by CatchStopSignals, and SIGCHLD takes its
// default. With SIGCHLD ignored (a starter that ignores it passes that on
// through exec) the system reaps every child as it ends, and waitpid can no
// longer tell how any of them ended.
struct SavedChildSignals {
  SavedStopSignals stop;
  struct sigaction child;
};
void CatchSignalsForChildren(SavedChildSignals* saved);
void RestoreSignalsForChildren(const SavedChildSignals& saved);

// Ends the program by signal_number as if it had never been caught, so that
// whoever started the run sees it was interrupted. What was printed so far
// is flushed; no report follows.
[[noreturn]] void EndBySignal(int signal_number);

#endif
