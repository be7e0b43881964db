#ifndef HARNESS_DATASET_RUNS_H
#define HARNESS_DATASET_RUNS_H

// The one-argument forms of the command line: "-r", "-r1", "-r2", "-r10",
// "-all", or the path of a label file.
int RunDataSetCommand(const char* argument);

// Replays every trial a KFall label file lists; -1 when it cannot be opened.
int RunKFallLabelFile(const char* label_path);
// Walks the subject folders under root and runs each one's label file.
int WalkKFallSubjects(const char* root, int label_type);
// Runs the device label file of root, then that of every subject folder under
// it ("<folder name>_device.csv"); recordings replay unlabelled.
int WalkDeviceSubjects(const char* root, int unused);
// Replays every trial a label file lists as a device recording; -1 when it
// cannot be opened.
int RunDeviceLabelFile(const char* label_path);

// Where the trouble-maker list lives; fixed when the program is built.
const char* TroubleMakerListPath();
// Leaves the list at path holding exactly its header line; false (with a
// message on standard error) when that could not be done.
bool ResetTroubleMakerList(const char* path);

#endif
