#ifndef HARNESS_EXIT_STATUS_H
#define HARNESS_EXIT_STATUS_H

// Exit statuses of tumblebench. 0 and 1 are the long-standing ones: every run that got
// past the argument check, and the usage text. The others say that the
// report on standard output is missing or cannot be trusted.
constexpr int kExitRunDone = 0;
constexpr int kExitUsage = 1;
// Standard output could not be written completely.
constexpr int kExitOutputFailed = 2;
// The model file named by TUMBLIX_MODEL cannot be used; nothing was replayed.
constexpr int kExitModelUnusable = 3;
// The rule file named by TUMBLIX_RULES cannot be used; nothing was replayed.
// A run set up with other rules than asked for fails like one with another
// model.
constexpr int kExitRulesUnusable = kExitModelUnusable;
// The report leaves out results through a fault of the run, not of the
// data set: a subject's worker failed, or a file could not be opened for
// want of descriptors or memory (missing_results.h). Subjects or recordings
// that the data set itself does not let the walk run (a folder that cannot
// be entered, a label file the converter did not write) are named on
// standard error and keep status 0, as every run past the argument check
// always has.
constexpr int kExitIncomplete = 4;

#endif
