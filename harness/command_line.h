#ifndef HARNESS_COMMAND_LINE_H
#define HARNESS_COMMAND_LINE_H

#include <cstdio>

// Runs one invocation of tumblebench and returns its exit status: 0 after
// every run that got past the argument check, 1 after the usage text (see
// harness/exit_status.h for the others).
int RunCommandLine(int argc, char** argv);

// The seven-line usage text.
void PrintUsage(std::FILE* stream);

#endif
