#include "tumblix/number_text.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// "00" to "99": two digits per division.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Decimal digits of value, most significant first, into the end of a
// buffer; returns where they start.
template <class Unsigned>
inline char* DigitsBackwards(char* end, Unsigned value) {
  while (value >= 100) {
    const unsigned pair = static_cast<unsigned>(value % 100) * 2;
    value /= 100;
    *--end = kDigitPairs[pair + 1];
    *--end = kDigitPairs[pair];
  }
  if (value >= 10) {
    const unsigned pair = static_cast<unsigned>(value) * 2;
    *--end = kDigitPairs[pair + 1];
    *--end = kDigitPairs[pair];
  } else {
    *--end = static_cast<char>('0' + value);
  }
  return end;
}

char* Pad(char* out, char fill, int count) {
  for (; count > 0; --count) *out++ = fill;
  return out;
}

uint32_t Magnitude(int32_t value) {
  // Through unsigned arithmetic, so that INT32_MIN has a magnitude too.
  return value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
}

int DigitCount(uint32_t value) {
  int count = 1;
  while (value >= 100) {
    value /= 100;
    count += 2;
  }
  return value >= 10 ? count + 1 : count;
}

// The digits of value, written forward at out (its length known).
inline char* WriteDigits(char* out, uint32_t value, int count) {
  char* end = out + count;
  DigitsBackwards(end, value);
  return end;
}

}  // namespace

char* AppendInt(char* out, int32_t value) {
  const uint32_t magnitude = Magnitude(value);
  if (value < 0) *out++ = '-';
  return WriteDigits(out, magnitude, DigitCount(magnitude));
}

char* AppendIntWidth(char* out, int32_t value, int width) {
  const uint32_t magnitude = Magnitude(value);
  const int count = DigitCount(magnitude);
  out = Pad(out, ' ', width - count - (value < 0 ? 1 : 0));
  if (value < 0) *out++ = '-';
  return WriteDigits(out, magnitude, count);
}

char* AppendIntZeroPad(char* out, int32_t value, int width) {
  const uint32_t magnitude = Magnitude(value);
  const int count = DigitCount(magnitude);
  if (value < 0) {
    *out++ = '-';
    width -= 1;
  }
  out = Pad(out, '0', width - count);
  return WriteDigits(out, magnitude, count);
}

char* AppendFixed2(char* out, float value, int width) {
  // A float has 24 significant bits and 100 needs 7, so the product is exact
  // in double: rounding it once to an integer (ties to even in the default
  // mode, the current mode in any case, as printf does) is rounding the
  // value itself to two decimals.
  const double scaled = static_cast<double>(value) * 100.0;
  if (!(std::fabs(scaled) < 1e15)) {
    // Infinities, NaN and values too large for the integer path.
    const int length = std::snprintf(out, kNumberTextMax + static_cast<size_t>(width > 0 ? width : 0) + 1,
                                     "%*.2f", width, static_cast<double>(value));
    return out + length;
  }
  const uint64_t hundredths = static_cast<uint64_t>(std::fabs(std::nearbyint(scaled)));
  char digits[24];
  char* end = digits + sizeof(digits);
  char* start = DigitsBackwards(end, hundredths);
  while (end - start < 3) *--start = '0';  // at least "0.0x"
  const int integer_digits = static_cast<int>(end - start) - 2;
  const bool negative = std::signbit(value);
  const int length = (negative ? 1 : 0) + integer_digits + 3;
  out = Pad(out, ' ', width - length);
  if (negative) *out++ = '-';
  std::memcpy(out, start, static_cast<size_t>(integer_digits));
  out += integer_digits;
  *out++ = '.';
  *out++ = end[-2];
  *out++ = end[-1];
  return out;
}
