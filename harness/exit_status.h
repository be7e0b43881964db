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
// Some subject's worker failed: the report leaves out its results.
constexpr int kExitIncomplete = 4;

#endif
