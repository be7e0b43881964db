#include "harness/decimal_text.h"

#include <cfenv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// 10^0 to 10^22, all exact in double.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxExactDecimals = 22;
constexpr int kMaxDigits = 19;  // any 19 digits fit into 64 bits
constexpr uint64_t kMaxExactInteger = uint64_t{1} << 53;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// 5^0 to 5^22 (below 2^52).
constexpr uint64_t kPowersOfFive[] = {1ull,
                                      5ull,
                                      25ull,
                                      125ull,
                                      625ull,
                                      3125ull,
                                      15625ull,
                                      78125ull,
                                      390625ull,
                                      1953125ull,
                                      9765625ull,
                                      48828125ull,
                                      244140625ull,
                                      1220703125ull,
                                      6103515625ull,
                                      30517578125ull,
                                      152587890625ull,
                                      762939453125ull,
                                      3814697265625ull,
                                      19073486328125ull,
                                      95367431640625ull,
                                      476837158203125ull,
                                      2384185791015625ull};

int BitLength(unsigned __int128 value) {
  const uint64_t high = static_cast<uint64_t>(value >> 64);
  if (high != 0) return 128 - __builtin_clzll(high);
  return 64 - __builtin_clzll(static_cast<uint64_t>(value));
}

// mantissa / 10^decimals rounded to the nearest double, ties to even, for
// an integer too wide for a double (above 2^53) and 1 to 22 decimals. The
// quotient by 5^decimals is taken exactly in 128-bit integers, with 64
// extra bits, and rounded once to 53 bits with the remainder as sticky
// information; the power of two of 10^decimals goes into the exponent.
// False when the result would not be a normal double (it always is for
// these inputs: at least 2^53 / 10^22).
bool NearestQuotient(uint64_t mantissa, int decimals, double* value) {
  const unsigned __int128 numerator = static_cast<unsigned __int128>(mantissa) << 64;
  const uint64_t divisor = kPowersOfFive[decimals];
  const unsigned __int128 quotient = numerator / divisor;
  const bool inexact = numerator % divisor != 0;
  const int shift = BitLength(quotient) - 53;  // at least 66 - 53
  uint64_t significand = static_cast<uint64_t>(quotient >> shift);
  const unsigned __int128 dropped = quotient & ((static_cast<unsigned __int128>(1) << shift) - 1);
  const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
  const bool round_up = dropped > half || (dropped == half && (inexact || (significand & 1) != 0));
  int exponent = shift - 64 - decimals;  // value = significand * 2^exponent
  if (round_up && ++significand == (uint64_t{1} << 53)) {
    significand >>= 1;
    exponent += 1;
  }
  const int biased = exponent + 52 + 1023;
  if (biased <= 0 || biased >= 2047) return false;
  const uint64_t bits = (static_cast<uint64_t>(biased) << 52) | (significand & ((uint64_t{1} << 52) - 1));
  std::memcpy(value, &bits, sizeof(bits));
  return true;
}

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
  if (mantissa > kMaxExactInteger) {
    // Too wide for one exact division (KFall writes many values with 17 or
    // 18 digits). Rounded by hand for the default rounding mode; any other
    // mode is strtod's.
    double magnitude;
    if (decimals == 0 || std::fegetround() != FE_TONEAREST || !NearestQuotient(mantissa, decimals, &magnitude)) {
      return std::strtod(text, end);
    }
    if (end != nullptr) *end = const_cast<char*>(p);
    return negative ? -magnitude : magnitude;
  }

  // The sign goes on before the division, which alone rounds: in a directed
  // rounding mode -(a / b) and (-a) / b differ.
  const double integer = static_cast<double>(static_cast<int64_t>(mantissa));  // exact: at most 2^53
  if (end != nullptr) *end = const_cast<char*>(p);
  return (negative ? -integer : integer) / kPowersOfTen[decimals];
}
