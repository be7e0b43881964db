// Placeholder until the data-set runs land.
#include "harness/dataset_runs.h"

int RunDataSetCommand(const char* argument) { return RunKFallLabelFile(argument); }
int RunKFallLabelFile(const char*) { return -1; }
int WalkKFallSubjects(const char*, int) { return 0; }
int WalkDeviceSubjects(const char*, int) { return 0; }
int RunDeviceLabelFile(const char*) { return -1; }
