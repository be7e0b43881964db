#ifndef TUMBLIX_DECISION_RULES_H
#define TUMBLIX_DECISION_RULES_H

struct TumblixDetector;

// The eight threshold rules, run on samples with an open detection window.
// Prints the "DETECT-1" line with its fragments and ends it; returns the
// mode that fired (1 to 8) or 0. down_probability is the classifier's
// element 1; tests hand it in directly.
int tumblix_apply_rules(TumblixDetector* detector, float down_probability);

#endif
