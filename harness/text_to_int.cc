#include "harness/text_to_int.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

int TextToInt(const char* text) {
  const long long value = std::strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

IntText ClassifyIntText(const char* text) {
  const char* c = text;
  if (*c == '+' || *c == '-') ++c;
  const char* digits = c;
  while (*c >= '0' && *c <= '9') ++c;
  if (c == digits || *c != '\0') return IntText::kPartial;
  errno = 0;
  const long long value = std::strtoll(text, nullptr, 10);
  const bool in_range = errno != ERANGE && value >= INT_MIN && value <= INT_MAX;
  return in_range ? IntText::kExact : IntText::kSaturated;
}

int TextToIntNamed(const char* text, const char* where, const char* what) {
  const int value = TextToInt(text);
  const IntText kind = ClassifyIntText(text);
  if (kind == IntText::kExact) return value;
  // After what was printed so far, so that a log of both streams reads in
  // order.
  std::fflush(stdout);
  std::fprintf(stderr, "tumblebench: %sthe %s %s %s; it is read as %d.\n", where, what, text,
               kind == IntText::kSaturated ? "lies beyond the int range" : "is not a plain decimal integer", value);
  return value;
}
