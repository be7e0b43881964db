#include "harness/stop_signals.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// A shell reports a command that died of a signal as 128 + its number; a
// signal whose default is to go on ends the program with that status.
constexpr int kSignalStatusBase = 128;

volatile sig_atomic_t g_stop_signal = 0;

void NoteStopSignal(int signal_number) { g_stop_signal = signal_number; }

}  // namespace

void CatchStopSignals(SavedStopSignals* saved) {
  g_stop_signal = 0;
  struct sigaction catcher;
  std::memset(&catcher, 0, sizeof(catcher));
  catcher.sa_handler = NoteStopSignal;
  sigemptyset(&catcher.sa_mask);
  for (size_t i = 0; i < kStopSignalCount; ++i) {
    sigaction(kStopSignals[i], nullptr, &saved->action[i]);
    saved->caught[i] = saved->action[i].sa_handler != SIG_IGN;
    if (saved->caught[i]) sigaction(kStopSignals[i], &catcher, nullptr);
  }
}

void RestoreStopSignals(const SavedStopSignals& saved) {
  for (size_t i = 0; i < kStopSignalCount; ++i) {
    if (saved.caught[i]) sigaction(kStopSignals[i], &saved.action[i], nullptr);
  }
}

int NotedStopSignal() { return g_stop_signal; }

void AddCaughtStopSignals(const SavedStopSignals& saved, sigset_t* set) {
  for (size_t i = 0; i < kStopSignalCount; ++i) {
    if (saved.caught[i]) sigaddset(set, kStopSignals[i]);
  }
}

void CatchSignalsForChildren(SavedChildSignals* saved) {
  CatchStopSignals(&saved->stop);
  struct sigaction child_default;
  std::memset(&child_default, 0, sizeof(child_default));
  child_default.sa_handler = SIG_DFL;
  sigemptyset(&child_default.sa_mask);
  sigaction(SIGCHLD, &child_default, &saved->child);
}

void RestoreSignalsForChildren(const SavedChildSignals& saved) {
  RestoreStopSignals(saved.stop);
  sigaction(SIGCHLD, &saved.child, nullptr);
}

void EndBySignal(int signal_number) {
  std::fflush(stdout);
  std::fflush(stderr);
  struct sigaction default_action;
  std::memset(&default_action, 0, sizeof(default_action));
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signal_number, &default_action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal_number);
  _exit(kSignalStatusBase + signal_number);
}
