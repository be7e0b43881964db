#ifndef HARNESS_COMMAND_LINE_H
#define HARNESS_COMMAND_LINE_H

// Runs one invocation of tumblebench and returns its exit status: 0 after
// every run that got past the argument check, 1 after the usage text.
int RunCommandLine(int argc, char** argv);

void PrintUsage();

#endif
