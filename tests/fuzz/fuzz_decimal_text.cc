// The recording readers' text-to-double conversion against strtod, whose
// results it must reproduce: the same bits (signed zeros and NaNs included)
// and the same end of the number, for any text, in any rounding mode. The
// first byte picks the rounding mode; the rest is the text.
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "harness/decimal_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const int kModes[] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  std::fesetround(kModes[data[0] % 4]);
  char* strtod_end = nullptr;
  char* our_end = nullptr;
  const double expected = std::strtod(text.c_str(), &strtod_end);
  const double actual = ReadDecimal(text.c_str(), &our_end);
  std::fesetround(FE_TONEAREST);

  if (std::memcmp(&expected, &actual, sizeof(double)) != 0 || strtod_end != our_end) __builtin_trap();
  return 0;
}
