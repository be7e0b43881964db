#ifndef HARNESS_LABEL_TOOL_H
#define HARNESS_LABEL_TOOL_H

// The external label converter: "kfall_label <subject>_down.csv", run through
// the command interpreter in the current directory (the subject folder).

// Default time limit of one conversion; the environment variable below
// overrides it (seconds, decimals allowed; 0 for no limit).
constexpr double kDefaultLabelToolTimeout_s = 120.0;
constexpr char kLabelToolTimeoutVariable[] = "TUMBLEBENCH_KFALL_LABEL_TIMEOUT";

// Runs the converter for one subject and waits for it. The program's own
// directory goes first on the converter's PATH, so the converter installed
// beside tumblebench is the one found; its standard input is /dev/null. A
// subject name that the interpreter would not take literally is refused.
//
// The converter runs in a process group of its own. Past the time limit that
// group is stopped (SIGTERM, then SIGKILL), the subject is named on standard
// error and the caller goes on. An interrupt or termination request
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT) reaching tumblebench meanwhile is passed
// on to the group; once the converter is gone, tumblebench ends by that same
// signal. It does the same with SIGINT when the converter itself dies of it.
// An interrupted run thus never goes on to a report that looks complete.
// Any other failure of the converter is reported on standard error and
// otherwise left to the caller, which reads whatever label file exists.
void RunLabelTool(const char* subject);

#endif
