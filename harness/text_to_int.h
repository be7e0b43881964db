#ifndef HARNESS_TEXT_TO_INT_H
#define HARNESS_TEXT_TO_INT_H

// The usual text-to-integer rules (leading white space, an optional sign,
// digits up to the first other character, 0 without digits), with values
// beyond the int range saturating instead of being undefined.
int TextToInt(const char* text);

#endif
