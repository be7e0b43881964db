#ifndef HARNESS_REPORT_H
#define HARNESS_REPORT_H

#include "harness/eval_stats.h"

// Prints the end-of-run statistics report to standard output.
void PrintStatistics(const EvalStats* stats);

// count * 100 / sum in single precision; 0 when sum is 0 (no division).
float Percentage(int count, int sum);

#endif
