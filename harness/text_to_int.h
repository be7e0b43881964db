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

// TextToInt for a number the user wrote (a frame argument, a label file's
// trial or frame). One that is not read exactly is used all the same, but
// named on standard error, since the number used is not the one meant:
// "tumblebench: <where>the <what> <text> is not a plain decimal integer; it
// is read as N." (or "lies beyond the int range"). `where` starts the
// message ("" or "SA06_all.csv, line 4: ").
int TextToIntNamed(const char* text, const char* where, const char* what);

#endif
