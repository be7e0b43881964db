#ifndef TUMBLIX_RULE_SET_H
#define TUMBLIX_RULE_SET_H

#include <cstddef>

// TumblixRules, generated from tumblix/rule_table.json: every value the
// decision rules and the detection window's gate compare against.
#include "tumblix/rule_table.h"

// Fills rules with the table's values.
int tumblix_default_rules(TumblixRules* rules);

// One value of the rule set, by the group and name the table gives it, for
// reading rule files and checking the table.
enum class RuleValueType { kInt32, kFloat32 };

struct RuleField {
  const char* group;
  const char* name;
  RuleValueType type;
  bool is_length;  // a count of samples or evaluations, never negative
  // The field in a rule set: an int32_t for kInt32, a float for kFloat32.
  void* (*in)(TumblixRules* rules);
};

// Every value, in the table's order.
extern const RuleField kRuleFields[];
extern const size_t kRuleFieldCount;

// The value with that group and name; nullptr if the table has none.
const RuleField* FindRuleField(const char* group, const char* name);
// True when the table has a group of that name.
bool IsRuleGroup(const char* group);

#endif
