#ifndef HARNESS_KFALL_TASKS_H
#define HARNESS_KFALL_TASKS_H

constexpr int kKFallTaskCount = 37;  // row 0 is a placeholder
constexpr int kKFallTaskTextSize = 100;

extern const char kKFallTaskTable[kKFallTaskCount][kKFallTaskTextSize];

#endif
