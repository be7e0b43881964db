#ifndef BENCH_ALLOCATION_COUNT_H
#define BENCH_ALLOCATION_COUNT_H

// The benchmark program replaces the global operator new (allocation_count.cc)
// to count the allocations made through it, so that a benchmark can report
// how many a stage makes per sample.
long OperatorNewCalls();

#endif
