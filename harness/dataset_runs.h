#ifndef HARNESS_DATASET_RUNS_H
#define HARNESS_DATASET_RUNS_H

// The one-argument forms of the command line: "-r", "-r1", "-r2", "-r10",
// "-all", or the path of a label file.
int RunDataSetCommand(const char* argument);

// Replays every trial a KFall label file lists; -1 when it cannot be opened.
int RunKFallLabelFile(const char* label_path);
// Walks the subject folders under root and runs each one's label file.
int WalkKFallSubjects(const char* root, int label_type);
int WalkDeviceSubjects(const char* root, int unused);
int RunDeviceLabelFile(const char* label_path);

#endif
