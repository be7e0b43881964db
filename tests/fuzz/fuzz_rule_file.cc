// Arbitrary bytes as a rule file (TUMBLIX_RULES): accepted or refused, never
// a crash, a refusal leaves the rule set as it was with a one-line reason,
// and an accepted set holds only finite thresholds and lengths in range.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "harness/rule_file.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TumblixRules table, rules;
  tumblix_default_rules(&table);
  rules = table;
  RuleFileError error;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!OverlayRuleFile(text, &rules, &error)) {
    Check(std::memcmp(&rules, &table, sizeof(rules)) == 0);
    Check(!error.reason.empty());
    Check((error.name + error.reason).find('\n') == std::string::npos);
    return 0;
  }
  for (size_t i = 0; i < kRuleFieldCount; ++i) {
    const RuleField& field = kRuleFields[i];
    if (field.type == RuleValueType::kFloat32) {
      Check(std::isfinite(*static_cast<float*>(field.in(&rules))));
    } else if (field.is_length) {
      const int32_t length = *static_cast<int32_t*>(field.in(&rules));
      Check(length >= 0 && length <= kLongestRuleLength);
    }
  }
  return 0;
}
