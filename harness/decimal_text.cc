#include "harness/decimal_text.h"

#include <cstdint>
#include <cstdlib>

namespace {

// 10^0 to 10^22, all exact in double.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxExactDecimals = 22;
constexpr int kMaxDigits = 19;  // always fit into 64 bits
constexpr uint64_t kMaxExactInteger = uint64_t{1} << 53;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

double ReadDecimal(const char* text, char** end) {
  const char* p = text;
  const bool negative = *p == '-';
  if (negative) ++p;
  if (!IsDigit(*p)) return std::strtod(text, end);

  uint64_t mantissa = 0;
  int digits = 0;  // significant ones: leading zeros do not count
  for (; IsDigit(*p); ++p) {
    if (mantissa != 0 || *p != '0') {
      mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
      ++digits;
    }
    if (digits > kMaxDigits) return std::strtod(text, end);
  }
  int decimals = 0;
  if (*p == '.') {
    for (++p; IsDigit(*p); ++p) {
      if (mantissa != 0 || *p != '0') {
        mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
        ++digits;
      }
      ++decimals;
      if (digits > kMaxDigits || decimals > kMaxExactDecimals) return std::strtod(text, end);
    }
  }
  // An exponent, or the x of a hexadecimal prefix, would carry the number
  // on in strtod.
  if (*p == 'e' || *p == 'E' || *p == 'x' || *p == 'X') return std::strtod(text, end);
  if (mantissa > kMaxExactInteger) return std::strtod(text, end);

  // The sign goes on before the division, which alone rounds: in a directed
  // rounding mode -(a / b) and (-a) / b differ.
  const double integer = static_cast<double>(mantissa);
  if (end != nullptr) *end = const_cast<char*>(p);
  return (negative ? -integer : integer) / kPowersOfTen[decimals];
}
