#ifndef TOOLS_GEN_DATASET_GEN_OPTIONS_H
#define TOOLS_GEN_DATASET_GEN_OPTIONS_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class OutputFormat { kKFall, kDevice };

struct GenOptions {
  std::string out_dir;
  int first_subject = 1;
  int subjects = 3;
  int trials = 2;
  uint64_t seed = 1;
  std::vector<int> tasks;  // ascending, no repeats
  OutputFormat format = OutputFormat::kKFall;
  bool overwrite = false;
  bool quiet = false;
  bool help = false;
};

// Parses the command line. On failure returns false with a one-line reason
// in *error.
bool ParseGenOptions(int argc, char** argv, GenOptions* options, std::string* error);

// Task list syntax: comma-separated task numbers and ranges ("1-19,35,36"),
// or one of the words all, adl, falls.
bool ParseTaskList(const std::string& text, std::vector<int>* tasks, std::string* error);

void PrintGenUsage(FILE* stream);

#endif
