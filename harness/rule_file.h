#ifndef HARNESS_RULE_FILE_H
#define HARNESS_RULE_FILE_H

#include <string>

#include "tumblix/rule_set.h"

// A rule file is one JSON object of groups, each an object of named values,
// by the groups and names of tumblix/rule_table.json:
//   {"mode6": {"vv_above": 23}, "mode4": {"p_at_least": 0.5}}
// It names only what it changes. Integer values (int32 in the table) must be
// written as integers; lengths cannot be negative; single-precision values
// are rounded to single precision once, from the text as written.

// Why a rule file was refused: what it concerns ("mode6.vv_above", a group,
// or empty when the text is not JSON) and the reason.
struct RuleFileError {
  std::string name;
  std::string reason;
};

// The longest window or run a rule file may set, one day of samples: longer
// is surely a mistake, and it keeps every sample number the gate computes
// within int32.
constexpr int kLongestRuleLength = 24 * 3600 * 50;

// Overlays the values that text names onto rules. False, with rules left as
// they were and *error filled in, when the text is refused.
bool OverlayRuleFile(const std::string& text, TumblixRules* rules, RuleFileError* error);

#endif
