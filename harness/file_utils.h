#ifndef HARNESS_FILE_UTILS_H
#define HARNESS_FILE_UTILS_H

// Thin wrappers over the runtime's file and directory services, each reduced
// to true or false. None of them prints anything.

// Writes the current working directory into buffer as terminated text; false
// when it cannot be read or does not fit into size bytes.
bool GetCurrentDir(char* buffer, int size);

// Makes path the process's current directory.
bool ChangeDir(const char* path);

// True when the file can be opened for reading (it is closed again at once).
bool IsFileReadable(const char* path);

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
