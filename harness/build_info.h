#ifndef HARNESS_BUILD_INFO_H
#define HARNESS_BUILD_INFO_H

// What built this program: the project's version and the source commit
// ("unknown" outside a git checkout, "-dirty" when the tree had changes),
// recorded when the program was built, so that a saved run can name it.
const char* ProgramVersion();
const char* BuildCommit();

#endif
