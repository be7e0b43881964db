#ifndef HARNESS_TEXT_TO_INT_H
#define HARNESS_TEXT_TO_INT_H

// The usual text-to-integer rules (leading white space, an optional sign,
// digits up to the first other character, 0 without digits), with values
// beyond the int range saturating instead of being undefined.
int TextToInt(const char* text);

// How TextToInt reads a text: exactly when it is a plain decimal integer (an
// optional sign and digits, nothing else) within the int range; saturated
// when it is one beyond the range; only in part otherwise ("6.5e1" reads 6,
// "abc" 0, " 12" 12).
enum class IntText { kExact, kSaturated, kPartial };
IntText ClassifyIntText(const char* text);

#endif
