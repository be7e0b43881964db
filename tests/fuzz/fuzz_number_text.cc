// The per-sample output's number formatting against printf, whose text it
// must reproduce exactly: "%d", "%<w>d", "%0<w>d" of any int and "%<w>.2f"
// of any float widened to double, in any rounding mode. Input: a byte for
// the rounding mode, four bytes of float, four bytes of int, a byte for the
// width.
#include <cfenv>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "tumblix/number_text.h"

namespace {

void Expect(const char* ours_begin, const char* ours_end, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void Expect(const char* ours_begin, const char* ours_end, const char* format, ...) {
  char expected[kNumberTextMax + 64];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(expected, sizeof(expected), format, args);
  va_end(args);
  if (length < 0 || ours_end - ours_begin != length || std::memcmp(ours_begin, expected, length) != 0) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 10) return 0;
  static const int kModes[] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
  float real;
  int32_t integer;
  std::memcpy(&real, data + 1, sizeof(real));
  std::memcpy(&integer, data + 5, sizeof(integer));
  const int width = data[9] % 24;

  char ours[kNumberTextMax + 32];
  std::fesetround(kModes[data[0] % 4]);
  Expect(ours, AppendInt(ours, integer), "%d", integer);
  Expect(ours, AppendIntWidth(ours, integer, width), "%*d", width, integer);
  Expect(ours, AppendIntZeroPad(ours, integer, width), "%0*d", width, integer);
  Expect(ours, AppendFixed2(ours, real, width), "%*.2f", width, static_cast<double>(real));
  std::fesetround(FE_TONEAREST);
  return 0;
}
