#ifndef TUMBLIX_NUMBER_TEXT_H
#define TUMBLIX_NUMBER_TEXT_H

// Number formatting for the per-sample output (trace rows, DETECT lines),
// without printf's per-call cost and with exactly printf's text. Each
// function writes at out and returns the end of what it wrote; nothing is
// terminated. The caller provides room for kNumberTextMax characters plus
// the width.

#include <cstdint>

constexpr int kNumberTextMax = 64;

// "%d".
char* AppendInt(char* out, int32_t value);
// "%<width>d": right-justified in spaces.
char* AppendIntWidth(char* out, int32_t value, int width);
// "%0<width>d": zeros after the sign.
char* AppendIntZeroPad(char* out, int32_t value, int width);
// "%<width>.2f" of the float widened to double (width 0: "%.2f"): the value
// correctly rounded to two decimals as printf rounds it, "-" for every
// negative value including -0.0 and those that round to zero, printf's own
// text for infinities and NaN.
char* AppendFixed2(char* out, float value, int width);

#endif
