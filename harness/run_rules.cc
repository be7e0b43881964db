#include "harness/run_rules.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "harness/rule_file.h"

const char kRunRulesVariable[] = "TUMBLIX_RULES";

namespace {

// A rule set is a few hundred bytes; a file this large is not one.
constexpr off_t kLargestRuleFile = 1 << 20;

std::string g_path;
bool g_from_file = false;

TumblixRules TableRules() {
  TumblixRules rules;
  tumblix_default_rules(&rules);
  return rules;
}

TumblixRules& Rules() {
  static TumblixRules rules = TableRules();
  return rules;
}

bool Refuse(const char* path, const std::string& name, const std::string& reason) {
  std::fprintf(stderr, "tumblebench: %s (%s), the rule set cannot be used: %s%s%s. Nothing was replayed.\n",
               path, kRunRulesVariable, name.c_str(), name.empty() ? "" : ": ", reason.c_str());
  return false;
}

}  // namespace

bool LoadRunRules() {
  const char* path = std::getenv(kRunRulesVariable);
  if (path == nullptr || path[0] == '\0') return true;

  struct stat status;
  if (stat(path, &status) != 0) return Refuse(path, "", std::strerror(errno));
  if (!S_ISREG(status.st_mode)) return Refuse(path, "", "not a regular file");
  if (status.st_size > kLargestRuleFile) return Refuse(path, "", "larger than 1 MiB, which no rule set is");
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return Refuse(path, "", std::strerror(errno));
  std::string text;
  char buffer[4096];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0 &&
         text.size() <= static_cast<size_t>(kLargestRuleFile)) {
    text.append(buffer, count);
  }
  const bool read_failed = std::ferror(file) != 0;
  std::fclose(file);
  if (read_failed) return Refuse(path, "", "the file could not be read");
  if (text.size() > static_cast<size_t>(kLargestRuleFile)) {
    return Refuse(path, "", "larger than 1 MiB, which no rule set is");
  }

  TumblixRules rules = TableRules();
  RuleFileError error;
  if (!OverlayRuleFile(text, &rules, &error)) return Refuse(path, error.name, error.reason);
  Rules() = rules;
  g_path = path;
  g_from_file = true;
  return true;
}

const TumblixRules& RunRules() { return Rules(); }

const char* RunRulesPath() { return g_from_file ? g_path.c_str() : nullptr; }
