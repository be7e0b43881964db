// ReadDecimal must be indistinguishable from strtod: the same bits (signed
// zeros included) and the same end of the number, on every text a recording
// line can hand it.
#include "harness/decimal_text.h"
#include "harness/recording_reader.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

// 0 when both agree on the text, 1 otherwise (the first few are reported).
int Compare(const std::string& text, int* reported) {
  char* strtod_end = nullptr;
  char* our_end = nullptr;
  const double expected = std::strtod(text.c_str(), &strtod_end);
  const double actual = ReadDecimal(text.c_str(), &our_end);
  if (std::memcmp(&expected, &actual, sizeof(double)) == 0 && strtod_end == our_end) return 0;
  if ((*reported)++ < 10) {
    ADD_FAILURE() << "\"" << text << "\": strtod gives " << expected << " ending at " << (strtod_end - text.c_str())
                  << ", ReadDecimal " << actual << " ending at " << (our_end - text.c_str());
  }
  return 1;
}

TEST(DecimalText, TextsTheReadersMeetAgreeWithStrtod) {
  const char* texts[] = {
      // The shapes of KFall and device fields.
      "0", "-0", "0.0", "-0.0", "-0.000000", "0.01", "1534.6", "-0.991699", "0.4468", "-1.0149", "7.62939453125e-06",
      "12", "-32768", "32767", "100000", "8192", "65.536", "1e3", "1E3", "2.5e-3", "-4.0", "4.000000",
      // Where a field ends: at a comma, a line end, anything that is no digit.
      "1.5,2", "1.5\n", "1.5\r\n", "-2,", "3abc", "5.", "-5.", "5.x", "5..1", "1.5e", "1.5e+", "1.5ex", "7-3",
      // Handed to strtod: its wider grammar must come back unchanged.
      "", "-", "--1", ".5", "-.5", ".", "+1", "+.5", " 1", "\t-2.5", "0x1A", "0X1p4", "-0x.8", "00x1", "0x",
      "inf", "-inf", "INF", "infinity", "nan", "-nan", "nan(123)", "1e400", "-1e400", "1e-400", "4.9e-324",
      "2.2250738585072011e-308", "1.7976931348623157e308", "1.7976931348623159e308",
      // Digit strings at the limits of the direct path.
      "9007199254740992", "9007199254740993", "9007199254740991.5", "18446744073709551615",
      "18446744073709551616", "1234567890123456789", "12345678901234567890", "0.1234567890123456789",
      "0.12345678901234567891", "0.0000000000000000000001", "0.00000000000000000000001",
      "0.0000000000000000000000123", "000000000000000000000000000001.5", "1.0000000000000000000000000",
      "123456789012345.6789", "0.30000000000000004", "9999999999999999999", "99999999999999999999"};
  int reported = 0;
  int mismatches = 0;
  for (const char* text : texts) mismatches += Compare(text, &reported);
  EXPECT_EQ(mismatches, 0);
}

// Random decimals of every length of integer and fraction part (up to 25
// digits each, so both sides of the direct path's limits), with and without
// sign, leading and trailing zeros and what may follow a number on a line.
TEST(DecimalText, RandomDecimalsAgreeWithStrtod) {
  std::mt19937_64 random(7);
  const char* tails[] = {"", ",", "\n", ",1.5", "x", " ", "e", "e5", "E-12"};
  int reported = 0;
  int mismatches = 0;
  for (int i = 0; i < 400000; ++i) {
    std::string text;
    if (random() % 3 == 0) text += '-';
    const int integer_digits = static_cast<int>(random() % 26);
    const int fraction_digits = static_cast<int>(random() % 26) - 1;  // -1: no point
    const bool zeros = random() % 4 == 0;
    for (int d = 0; d < integer_digits; ++d) text += static_cast<char>('0' + (zeros && d < 3 ? 0 : random() % 10));
    if (fraction_digits >= 0) {
      text += '.';
      for (int d = 0; d < fraction_digits; ++d) text += static_cast<char>('0' + (zeros && d < 4 ? 0 : random() % 10));
    }
    text += tails[random() % (sizeof(tails) / sizeof(tails[0]))];
    mismatches += Compare(text, &reported);
  }
  EXPECT_EQ(mismatches, 0);
}

// What writers of recordings produce: printf of doubles with a fixed number
// of decimals ("%.6f" and the like) and shortest round-trip texts, over
// values from sensor noise to far beyond the sensor's range.
TEST(DecimalText, PrintedDoublesAgreeWithStrtod) {
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> exponent(-12.0, 16.0);
  const char* formats[] = {"%.1f", "%.2f", "%.4f", "%.6f", "%.9f", "%.15f", "%.17g", "%.15g", "%g"};
  int reported = 0;
  int mismatches = 0;
  for (int i = 0; i < 200000; ++i) {
    const double magnitude = std::pow(10.0, exponent(random));
    const double value = (random() % 2 == 0 ? -1.0 : 1.0) * magnitude;
    char text[512];
    std::snprintf(text, sizeof(text), formats[i % (sizeof(formats) / sizeof(formats[0]))], value);
    mismatches += Compare(text, &reported);
  }
  EXPECT_EQ(mismatches, 0);
}

// Integers above 2^53 with decimals are rounded by hand. The hardest texts
// for that are the exact midpoints between two neighbouring doubles, where
// only ties-to-even decides, and their closest neighbours in the last digit.
TEST(DecimalText, MidpointsBetweenWideDoublesRoundToEvenAsStrtodDoes) {
  std::mt19937_64 random(13);
  int reported = 0;
  int mismatches = 0;
  for (int i = 0; i < 100000; ++i) {
    // Doubles of [2^52, 2^53) * 2^-s have the spacing 2^-s; the midpoint
    // (2^53 + 2r + 1) * 2^-(s+1) is X * 5^(s+1) / 10^(s+1) with X odd.
    const int s = static_cast<int>(random() % 3);
    const uint64_t x = (uint64_t{1} << 53) + 2 * (random() % (uint64_t{1} << 52)) + 1;
    uint64_t m = x;
    for (int k = 0; k <= s; ++k) m *= 5;
    for (int64_t nudge : {int64_t{-1}, int64_t{0}, int64_t{1}}) {
      std::string digits = std::to_string(m + static_cast<uint64_t>(nudge));
      digits.insert(digits.size() - static_cast<size_t>(s + 1), ".");
      mismatches += Compare(digits, &reported);
      mismatches += Compare("-" + digits, &reported);
    }
  }
  for (const char* text : {"9007199254740993.0", "9007199254740995.0", "4503599627370497.5", "4503599627370498.5",
                           "9007199254740993.00000", "18014398509481985.0", "1801439850948198.55"}) {
    mismatches += Compare(text, &reported);
  }
  EXPECT_EQ(mismatches, 0);
}

// strtod rounds in the current rounding mode; so does the direct path.
TEST(DecimalText, FollowsTheRoundingModeAsStrtodDoes) {
  std::mt19937_64 random(3);
  int reported = 0;
  int mismatches = 0;
  for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    ASSERT_EQ(std::fesetround(mode), 0);
    for (int i = 0; i < 20000; ++i) {
      char text[64];
      // Narrow integers and ones above 2^53 (17 to 19 digits).
      std::snprintf(text, sizeof(text), "%s%llu.%06llu", random() % 2 ? "-" : "",
                    static_cast<unsigned long long>(i % 2 ? random() % 100000 : random() % 10000000000000ull),
                    static_cast<unsigned long long>(random() % 1000000));
      mismatches += Compare(text, &reported);
    }
  }
  std::fesetround(FE_TONEAREST);
  EXPECT_EQ(mismatches, 0);
}

}  // namespace

namespace {

// The readers pass over the ignored leading fields without converting them;
// whatever those hold, the sample comes from the fields after them, as it
// would if they had been read.
TEST(DecimalText, IgnoredLeadingFieldsNeverShiftTheSample) {
  const char* ignored[] = {"0.01", "", "abc", "nan(12ab)", "0x1p3", " 1e5", "-inf", "1.5e", "\t+7", "12..3"};
  for (const char* first : ignored) {
    for (const char* second : ignored) {
      const std::string kfall = std::string(first) + "," + second + ",1.0,-0.5,0.25,100.0,-250.5,3,9,9,9\n";
      RawSample s = {1, 1, 1, 1, 1, 1};
      ParseKFallLine(kfall.c_str(), &s);
      // An empty field is no field: the sample then starts a field later.
      const int empty = (*first == '\0' ? 1 : 0) + (*second == '\0' ? 1 : 0);
      const RawSample by_empty[] = {{8192, -4096, 2048, 6553, -16416, 196},
                                    {-4096, 2048, 32767, -16416, 196, 589},
                                    {2048, 32767, -32768, 196, 589, 589}};
      const RawSample expected = by_empty[empty];
      EXPECT_EQ(std::memcmp(&s, &expected, sizeof(s)), 0) << kfall;

      const std::string device = std::string(first) + ",8192,-4096,2048,6553,-16416,196,7\n";
      ParseDeviceLine(device.c_str(), &s);
      const RawSample counts = *first == '\0' ? RawSample{-4096, 2048, 6553, -16416, 196, 7}
                                              : RawSample{8192, -4096, 2048, 6553, -16416, 196};
      EXPECT_EQ(std::memcmp(&s, &counts, sizeof(s)), 0) << device;
    }
  }
}

}  // namespace
