#ifndef HARNESS_FILE_UTILS_H
#define HARNESS_FILE_UTILS_H

#include <sys/stat.h>

#include <cstdio>

// Thin wrappers over the runtime's file and directory services, each reduced
// to true or false. None of them prints anything.

// Writes the current working directory into buffer as terminated text; false
// when it cannot be read or does not fit into size bytes.
bool GetCurrentDir(char* buffer, int size);

// Makes path the process's current directory.
bool ChangeDir(const char* path);

// True when the file can be opened for reading (it is closed again at once).
// A file that is not regular is not opened (a FIFO would wait for a writer):
// it counts as readable when its permissions allow reading, and the readers,
// which open files with OpenRegularFile, refuse it with a message.
bool IsFileReadable(const char* path);

// Opens path for reading when it is a regular file, links followed. Any
// other kind (a FIFO, a device, a folder, a socket) is refused without being
// opened for reading, since a FIFO would block the run until some writer
// came. On success *info describes the opened file. On failure returns
// nullptr with *error set to the errno value, or to 0 when the file is there
// but not regular (info->st_mode then tells its kind).
FILE* OpenRegularFile(const char* path, struct stat* info, int* error);

// The kind of file a mode names, for messages: "a FIFO", "a folder", ...
const char* FileKindName(mode_t mode);

// Deletes the file; false when it could not be deleted (or did not exist).
bool RemoveFile(const char* path);

// Appends line and a line end to the file, creating it when missing; false
// when the file cannot be opened or the line did not reach it.
bool AppendLine(const char* path, const char* line);

// Cuts line in place into at most max_fields comma-separated fields and
// stores a pointer to each in fields; returns the number of fields found.
// A double quote at the very start of a field shields commas up to the next
// double quote; the quotes stay in the field. Empty fields count, and the line
// end of a line read from a file belongs to the last field.
int SplitCsvLine(char* line, char** fields, int max_fields);

#endif
