#ifndef HARNESS_WALK_SUBJECTS_H
#define HARNESS_WALK_SUBJECTS_H

#include "harness/subject_workers.h"

constexpr int kFindPathBufferSize = 2048;

// Label types handed to the KFall walk.
constexpr int kLabelTypeAll = 0;
constexpr int kLabelTypeDown = 1;
constexpr int kLabelTypeAdl = 2;

// A subject folder's name is exactly four characters and begins with "SA".
bool IsSubjectFolderName(const char* name);

// "%s_down.csv" for type 1, "%s_adl.csv" for type 2, "%s_all.csv" otherwise;
// false when the name does not fit into size bytes.
bool FormKFallLabelName(const char* subject, int label_type, char* buffer, int size);

// The device walk's label file of a folder: "<folder name>_device.csv".
bool FormDeviceLabelName(const char* folder_name, char* buffer, int size);

// Enumerates the entries directly in root, in the order the system yields
// them, and for every subject folder makes root/<name> (absolute) the current
// directory and calls visit with the name, in worker processes side by side
// when more than one job is allowed (see subject_workers.h). Afterwards the
// current directory is the one the walk started in. Returns the number of
// subject folders the search found (whether or not each could be entered
// and run, which is named on standard error), -1 when it cannot start.
int VisitSubjectFolders(const char* root, SubjectVisitor visit, void* context);

// Walks the subject folders under root and runs each one's label file.
int WalkKFallSubjects(const char* root, int label_type);
// Runs the device label file of root, then that of every subject folder under
// it ("<folder name>_device.csv"); recordings replay unlabelled.
int WalkDeviceSubjects(const char* root, int unused);

// Says on standard error that root holds no subject folder, what one is, and
// where a data set under root seems to start, if one does.
void ReportNoSubjectFolders(const char* root);

#endif
