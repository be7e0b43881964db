#include "tumblix/rule_set.h"

#include <cstring>
#include <type_traits>

int tumblix_default_rules(TumblixRules* rules) {
#define TUMBLIX_SET_DEFAULT(group, name, type, is_length, default_value) rules->group.name = default_value;
  TUMBLIX_RULE_TABLE(TUMBLIX_SET_DEFAULT)
#undef TUMBLIX_SET_DEFAULT
  return 0;
}

#define TUMBLIX_RULE_FIELD(group, name, type, is_length, default_value)                               \
  {#group, #name, std::is_same<type, float>::value ? RuleValueType::kFloat32 : RuleValueType::kInt32, \
   is_length, [](TumblixRules* rules) -> void* { return &rules->group.name; }},
const RuleField kRuleFields[] = {TUMBLIX_RULE_TABLE(TUMBLIX_RULE_FIELD)};
#undef TUMBLIX_RULE_FIELD
const size_t kRuleFieldCount = sizeof(kRuleFields) / sizeof(kRuleFields[0]);

const RuleField* FindRuleField(const char* group, const char* name) {
  for (const RuleField& field : kRuleFields) {
    if (std::strcmp(field.group, group) == 0 && std::strcmp(field.name, name) == 0) return &field;
  }
  return nullptr;
}

bool IsRuleGroup(const char* group) {
  for (const RuleField& field : kRuleFields) {
    if (std::strcmp(field.group, group) == 0) return true;
  }
  return false;
}
