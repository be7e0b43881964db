#ifndef HARNESS_SUBJECT_WORKERS_H
#define HARNESS_SUBJECT_WORKERS_H

#include <string>
#include <vector>

// Subject folders of a walk run side by side in worker processes, each a
// complete single-threaded run of one subject exactly as the walk would make
// it (its own current directory, its replays one after another). The parent
// writes the workers' standard output in the walk's order and adds their
// statistics to its own, so standard output, every trace and the report are
// those of a serial walk.

// The number of workers a walk uses: TUMBLEBENCH_JOBS when it is a whole
// number from 1 up (anything else is named on standard error and ignored),
// else the cores this process may run on.
constexpr char kJobsVariable[] = "TUMBLEBENCH_JOBS";
int WalkJobs();

using SubjectVisitor = void (*)(const char* subject, void* context);

struct SubjectFolder {
  std::string name;
  std::string path;  // absolute
};

// Makes each subject folder the current directory and runs
// visit(name, context), in order, with up to `jobs` workers at a time (1: in this process, one after
// another). A worker that fails (killed, crashed, or unable to hand over its
// output) is named on standard error; its subject's output and statistics
// are left out, and it counts as a missing subject (missing_results.h).
// Returns the number of subjects whose folder was entered.
int RunSubjects(const std::vector<SubjectFolder>& subjects, SubjectVisitor visit, void* context, int jobs);

#endif
