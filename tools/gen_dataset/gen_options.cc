#include "tools/gen_dataset/gen_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "harness/kfall_tasks.h"
#include "tools/gen_dataset/activity_scripts.h"

namespace {

constexpr int kMaxSubjectNumber = 99;  // subject folders are SA plus two digits
constexpr int kMaxTrials = 99;

bool ParseWholeNumber(const char* text, long long low, long long high, long long* value) {
  if (text == nullptr || *text == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  if (parsed < static_cast<unsigned long long>(low) || parsed > static_cast<unsigned long long>(high)) return false;
  *value = static_cast<long long>(parsed);
  return true;
}

bool ParseSeed(const char* text, uint64_t* seed) {
  if (text == nullptr || *text == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *seed = parsed;
  return true;
}

}  // namespace

bool ParseTaskList(const std::string& text, std::vector<int>* tasks, std::string* error) {
  tasks->clear();
  if (text == "all" || text == "adl" || text == "falls") {
    for (int t = kFirstTask; t <= kLastTask; ++t) {
      if (text == "all" || (text == "falls") == IsFallTask(t)) tasks->push_back(t);
    }
    return true;
  }
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    const size_t dash = item.find('-');
    long long low = 0, high = 0;
    const bool ok = dash == std::string::npos
                        ? ParseWholeNumber(item.c_str(), kFirstTask, kLastTask, &low)
                        : ParseWholeNumber(item.substr(0, dash).c_str(), kFirstTask, kLastTask, &low) &&
                              ParseWholeNumber(item.substr(dash + 1).c_str(), kFirstTask, kLastTask, &high);
    if (dash == std::string::npos) high = low;
    if (!ok || high < low) {
      *error = "task list item \"" + item + "\" is not a task from 1 to 36 or a range like 20-34";
      return false;
    }
    for (long long t = low; t <= high; ++t) tasks->push_back(static_cast<int>(t));
    start = comma + 1;
  }
  std::sort(tasks->begin(), tasks->end());
  tasks->erase(std::unique(tasks->begin(), tasks->end()), tasks->end());
  return true;
}

bool ParseGenOptions(int argc, char** argv, GenOptions* options, std::string* error) {
  *options = GenOptions();
  ParseTaskList("all", &options->tasks, error);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    const char* text = nullptr;
    long long number = 0;
    if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (arg == "--overwrite") {
      options->overwrite = true;
    } else if (arg == "--quiet") {
      options->quiet = true;
    } else if (arg == "--out") {
      if (!value(&text)) return false;
      options->out_dir = text;
    } else if (arg == "--subjects") {
      if (!value(&text)) return false;
      if (!ParseWholeNumber(text, 1, kMaxSubjectNumber, &number)) {
        *error = "--subjects takes a number from 1 to 99, not \"" + std::string(text) + "\"";
        return false;
      }
      options->subjects = static_cast<int>(number);
    } else if (arg == "--first-subject") {
      if (!value(&text)) return false;
      if (!ParseWholeNumber(text, 1, kMaxSubjectNumber, &number)) {
        *error = "--first-subject takes a number from 1 to 99, not \"" + std::string(text) + "\"";
        return false;
      }
      options->first_subject = static_cast<int>(number);
    } else if (arg == "--trials") {
      if (!value(&text)) return false;
      if (!ParseWholeNumber(text, 1, kMaxTrials, &number)) {
        *error = "--trials takes a number from 1 to 99, not \"" + std::string(text) + "\"";
        return false;
      }
      options->trials = static_cast<int>(number);
    } else if (arg == "--seed") {
      if (!value(&text)) return false;
      if (!ParseSeed(text, &options->seed)) {
        *error = "--seed takes a whole number from 0 to 18446744073709551615, not \"" + std::string(text) + "\"";
        return false;
      }
    } else if (arg == "--tasks") {
      if (!value(&text)) return false;
      if (!ParseTaskList(text, &options->tasks, error)) return false;
    } else if (arg == "--format") {
      if (!value(&text)) return false;
      if (std::strcmp(text, "kfall") == 0) {
        options->format = OutputFormat::kKFall;
      } else if (std::strcmp(text, "device") == 0) {
        options->format = OutputFormat::kDevice;
      } else {
        *error = "--format is kfall or device, not \"" + std::string(text) + "\"";
        return false;
      }
    } else {
      *error = "unknown argument \"" + arg + "\"";
      return false;
    }
  }
  if (options->help) return true;
  if (options->out_dir.empty()) {
    *error = "--out DIR is required";
    return false;
  }
  if (options->first_subject + options->subjects - 1 > kMaxSubjectNumber) {
    *error = "subjects beyond SA99 do not fit the four-character folder names";
    return false;
  }
  return true;
}

void PrintGenUsage(FILE* stream) {
  std::fprintf(stream,
               "Usage: tumblebench_gen --out DIR [--subjects N] [--first-subject K] [--trials T]\n"
               "                       [--seed S] [--tasks LIST] [--format kfall|device]\n"
               "                       [--overwrite] [--quiet]\n"
               "\n"
               "Writes a synthetic data set of simulated low-back sensor recordings.\n"
               "  --out DIR          root folder; subject folders SA01, SA02, ... go inside\n"
               "  --subjects N       number of subjects (default 3)\n"
               "  --first-subject K  number of the first subject (default 1)\n"
               "  --trials T         trials per task (default 2)\n"
               "  --seed S           seed of the whole data set (default 1)\n"
               "  --tasks LIST       KFall tasks: all (default), adl, falls, or numbers and\n"
               "                     ranges such as 1-19,35,36\n"
               "  --format F         kfall: 100/s trial files SxxTyyRzz.csv with SAxx_down.csv,\n"
               "                     SAxx_adl.csv and SAxx_all.csv (default);\n"
               "                     device: 50/s sensor-count recordings with SAxx_device.csv\n"
               "  --overwrite        replace files that already exist (refused otherwise)\n"
               "  --quiet            print nothing on success\n");
}
