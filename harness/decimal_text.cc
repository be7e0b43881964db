#include "harness/decimal_text.h"

#include <cstdint>
#include <cstdlib>

namespace {

// 10^0 to 10^22, all exact in double.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxExactDecimals = 22;
constexpr int kMaxDigits = 19;  // any 19 digits fit into 64 bits
constexpr uint64_t kMaxExactInteger = uint64_t{1} << 53;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

double ReadDecimal(const char* text, char** end) {
  const char* p = text;
  const bool negative = *p == '-';
  if (negative) ++p;
  if (!IsDigit(*p)) return std::strtod(text, end);

  // All digits go into the integer, leading zeros included (they add
  // nothing to it); more than 19 of them may have wrapped it around, but
  // such texts go to strtod below.
  uint64_t mantissa = 0;
  const char* digits_start = p;
  for (; IsDigit(*p); ++p) mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
  int digits = static_cast<int>(p - digits_start);
  int decimals = 0;
  if (*p == '.') {
    const char* fraction_start = ++p;
    for (; IsDigit(*p); ++p) mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
    decimals = static_cast<int>(p - fraction_start);
    digits += decimals;
  }
  if (digits > kMaxDigits || decimals > kMaxExactDecimals) return std::strtod(text, end);
  // An exponent, or the x of a hexadecimal prefix, would carry the number
  // on in strtod.
  if (*p == 'e' || *p == 'E' || *p == 'x' || *p == 'X') return std::strtod(text, end);
  if (mantissa > kMaxExactInteger) return std::strtod(text, end);

  // The sign goes on before the division, which alone rounds: in a directed
  // rounding mode -(a / b) and (-a) / b differ.
  const double integer = static_cast<double>(static_cast<int64_t>(mantissa));  // exact: at most 2^53
  if (end != nullptr) *end = const_cast<char*>(p);
  return (negative ? -integer : integer) / kPowersOfTen[decimals];
}
