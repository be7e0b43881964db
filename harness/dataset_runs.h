#ifndef HARNESS_DATASET_RUNS_H
#define HARNESS_DATASET_RUNS_H

// The one-argument forms of the command line: "-r", "-r1", "-r2", "-r10",
// "-all", or the path of a label file.
int RunDataSetCommand(const char* argument);

// Where the trouble-maker list lives; fixed when the program is built.
const char* TroubleMakerListPath();
// Leaves the list at path holding exactly its header line; false (with a
// message on standard error) when that could not be done.
bool ResetTroubleMakerList(const char* path);

#endif
