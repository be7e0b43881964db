// The hand-written number formatting must give printf's text byte for byte:
// every case is compared with snprintf of the same conversion.
#include "tumblix/number_text.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace {

std::string Printf(const char* format, double value) {
  char text[128];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::string Printf(const char* format, int value) {
  char text[128];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::string Fixed2(float value, int width) {
  char text[kNumberTextMax + 16];
  return std::string(text, AppendFixed2(text, value, width));
}

float FromBits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof(f));
  return f;
}

// Compares both widths the output uses ("%.2f" in the trace, "%5.2f" on the
// console); returns the number of mismatches, reporting the first few.
int CheckFixed2(float value, int* reported) {
  int mismatches = 0;
  for (int width : {0, 5}) {
    const std::string expected = Printf(width == 0 ? "%.2f" : "%5.2f", static_cast<double>(value));
    const std::string actual = Fixed2(value, width);
    if (actual != expected) {
      ++mismatches;
      if ((*reported)++ < 10) {
        uint32_t bits;
        std::memcpy(&bits, &value, sizeof(bits));
        ADD_FAILURE() << "bits 0x" << std::hex << bits << " width " << std::dec << width << ": printf gives \""
                      << expected << "\", AppendFixed2 \"" << actual << "\"";
      }
    }
  }
  return mismatches;
}

TEST(NumberText, IntegersMatchPrintfInEveryWidthTheOutputUses) {
  const int values[] = {0, 1, -1, 7, -7, 9, 10, -10, 99, 100, -100, 999, 1000, -1000, 12345, -32768, 32767,
                        65535, 99999, 100000, -999999, INT_MAX, INT_MIN, INT_MIN + 1};
  for (int v : values) {
    char text[kNumberTextMax + 8];
    EXPECT_EQ(std::string(text, AppendInt(text, v)), Printf("%d", v)) << v;
    EXPECT_EQ(std::string(text, AppendIntWidth(text, v, 3)), Printf("%3d", v)) << v;
    EXPECT_EQ(std::string(text, AppendIntWidth(text, v, 4)), Printf("%4d", v)) << v;
    EXPECT_EQ(std::string(text, AppendIntZeroPad(text, v, 4)), Printf("%04d", v)) << v;
  }
  // Every value a trace column or a DETECT field takes in practice.
  for (int v = -70000; v <= 70000; ++v) {
    char text[kNumberTextMax + 8];
    ASSERT_EQ(std::string(text, AppendInt(text, v)), Printf("%d", v));
    ASSERT_EQ(std::string(text, AppendIntWidth(text, v, 3)), Printf("%3d", v));
    ASSERT_EQ(std::string(text, AppendIntZeroPad(text, v, 4)), Printf("%04d", v));
  }
}

TEST(NumberText, Fixed2SpecialValuesMatchPrintf) {
  const float inf = std::numeric_limits<float>::infinity();
  const float values[] = {0.0f, -0.0f, 0.001f, -0.001f, 0.004999f, -0.004999f, 0.005f, -0.005f, 0.015f, 0.025f,
                          0.125f, -0.125f, 0.375f, 2.675f, 1.005f, 9.995f, 99.995f, -99.995f, 0.5f, 1.0f, -1.0f,
                          123456.78f, 1e15f, 1e16f, -3e20f, std::numeric_limits<float>::max(),
                          -std::numeric_limits<float>::max(), std::numeric_limits<float>::min(),
                          std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::denorm_min(),
                          inf, -inf, std::nanf(""), -std::nanf("")};
  int reported = 0;
  for (float v : values) EXPECT_EQ(CheckFixed2(v, &reported), 0);
}

// Exact ties in binary (x.xx5 only where it is representable, such as
// 0.125) and the float neighbours of every two-decimal boundary up to 300:
// where printf's correct rounding and a naive one part ways.
TEST(NumberText, Fixed2RoundsEveryBoundaryNeighbourAsPrintfDoes) {
  int reported = 0;
  int mismatches = 0;
  for (int k = -30000; k <= 30000; ++k) {
    const float boundary = static_cast<float>((k + 0.5) / 100.0);
    float v = boundary;
    for (int step = 0; step < 3; ++step) v = std::nextafter(v, -INFINITY);
    for (int step = 0; step < 7; ++step, v = std::nextafter(v, INFINITY)) mismatches += CheckFixed2(v, &reported);
  }
  for (int k = -4096; k <= 4096; ++k) mismatches += CheckFixed2(static_cast<float>(k) / 8.0f, &reported);
  EXPECT_EQ(mismatches, 0);
}

// A sweep through every binade from the tiniest subnormal to FLT_MAX, both
// signs, and random bit patterns.
TEST(NumberText, Fixed2MatchesPrintfAcrossTheWholeFloatRange) {
  int reported = 0;
  int mismatches = 0;
  for (uint32_t bits = 0; bits < 0x7f800000u; bits += 0x1357u) {
    mismatches += CheckFixed2(FromBits(bits), &reported);
    mismatches += CheckFixed2(FromBits(bits | 0x80000000u), &reported);
  }
  std::mt19937 random(20240);
  for (int i = 0; i < 300000; ++i) mismatches += CheckFixed2(FromBits(static_cast<uint32_t>(random())), &reported);
  // Dense where vv and the scores live: every float in [-64, 64) with a
  // stride that visits each binade's mantissas evenly.
  for (uint32_t bits = 0x3c000000u; bits < 0x42800000u; bits += 0x61u) {
    mismatches += CheckFixed2(FromBits(bits), &reported);
    mismatches += CheckFixed2(FromBits(bits | 0x80000000u), &reported);
  }
  EXPECT_EQ(mismatches, 0);
}

// printf follows the rounding mode; so does the formatting.
TEST(NumberText, Fixed2FollowsTheRoundingModeAsPrintfDoes) {
  int reported = 0;
  int mismatches = 0;
  for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    ASSERT_EQ(std::fesetround(mode), 0);
    for (int k = -3000; k <= 3000; ++k) mismatches += CheckFixed2(static_cast<float>(k) * 0.0013f, &reported);
  }
  std::fesetround(FE_TONEAREST);
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
