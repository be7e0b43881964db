#ifndef HARNESS_RUN_RULES_H
#define HARNESS_RUN_RULES_H

#include "tumblix/rule_set.h"

// The rule set every detector of a run uses: the table's values, overlaid
// with the rule file that the environment variable TUMBLIX_RULES names (an
// empty value counts as unset). The file is read and checked once, before
// the first replay, so that a rule file that cannot be used ends the run at
// once instead of replaying everything with other rules than asked for.
extern const char kRunRulesVariable[];

// Reads and checks the file TUMBLIX_RULES names. True when the variable is
// unset or the file can be used; false after one message on standard error
// that names the file, the value concerned and the reason.
bool LoadRunRules();

// The run's rule set; the table's values until LoadRunRules took a file.
const TumblixRules& RunRules();

// The path of the run's rule file; nullptr when the table's values are used.
const char* RunRulesPath();

#endif
