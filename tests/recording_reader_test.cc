#include "harness/recording_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(RecordingReaderTest, DataLinesStartWithADigitOrMinus) {
  EXPECT_TRUE(IsDataLine("0,1,2"));
  EXPECT_TRUE(IsDataLine("9"));
  EXPECT_TRUE(IsDataLine("-1,2"));
  EXPECT_FALSE(IsDataLine("TimeStamp(s),FrameCounter"));
  EXPECT_FALSE(IsDataLine(" 1,2"));
  EXPECT_FALSE(IsDataLine("+1,2"));
  EXPECT_FALSE(IsDataLine(".5,2"));
  EXPECT_FALSE(IsDataLine("\n"));
  EXPECT_FALSE(IsDataLine(""));
}

TEST(RecordingReaderTest, CommaRunsAreOneSeparator) {
  double v[4] = {-1, -1, -1, -1};
  ASSERT_EQ(ReadNumericFields("12,,100,200\n", v, 4), 3);
  EXPECT_EQ(v[0], 12.0);
  EXPECT_EQ(v[1], 100.0);
  EXPECT_EQ(v[2], 200.0);

  ASSERT_EQ(ReadNumericFields(",,5,", v, 4), 1);
  EXPECT_EQ(v[0], 5.0);
}

TEST(RecordingReaderTest, NonNumbersReadAsZeroAndLimitIsKept) {
  double v[3] = {-1, -1, -1};
  ASSERT_EQ(ReadNumericFields("abc,1.5e2,7x,9", v, 3), 3);
  EXPECT_EQ(v[0], 0.0);
  EXPECT_EQ(v[1], 150.0);
  EXPECT_EQ(v[2], 7.0);
}

TEST(RecordingReaderTest, SaturatesInsteadOfWrapping) {
  EXPECT_EQ(SaturateToSample(4.0 * kKFallAccScale), 32767);
  EXPECT_EQ(SaturateToSample(-4.0 * kKFallAccScale), -32768);
  EXPECT_EQ(SaturateToSample(500.0 * kKFallGyroScale), 32767);
  EXPECT_EQ(SaturateToSample(1500.0 * kKFallGyroScale), 32767);
  EXPECT_EQ(SaturateToSample(-1500.0 * kKFallGyroScale), -32768);
  EXPECT_EQ(SaturateToSample(32767.9), 32767);
  EXPECT_EQ(SaturateToSample(-32768.9), -32768);
  EXPECT_EQ(SaturateToSample(1e300), 32767);
}

TEST(RecordingReaderTest, NanAndInfinitiesNeverReachTheIntegerConversion) {
  EXPECT_EQ(SaturateToSample(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(SaturateToSample(std::numeric_limits<double>::infinity()), 32767);
  EXPECT_EQ(SaturateToSample(-std::numeric_limits<double>::infinity()), -32768);
  RawSample s;
  ParseKFallLine("0,1,nan,inf,-inf,nan,1e400,-1e400\n", &s);
  EXPECT_EQ(s.accX, 0);
  EXPECT_EQ(s.accY, 32767);
  EXPECT_EQ(s.accZ, -32768);
  EXPECT_EQ(s.gyroX, 0);
  EXPECT_EQ(s.gyroY, 32767);
  EXPECT_EQ(s.gyroZ, -32768);
}

TEST(RecordingReaderTest, KFallUnitsScaleAndTruncateTowardZero) {
  RawSample s;
  ParseKFallLine("0.01,1,1.0,-0.00006,-1.0,1.0,100.0,-100.0,5,6,7\n", &s);
  EXPECT_EQ(s.accX, 8192);
  EXPECT_EQ(s.accY, 0);
  EXPECT_EQ(s.accZ, -8192);
  EXPECT_EQ(s.gyroX, 65);
  EXPECT_EQ(s.gyroY, 6553);
  EXPECT_EQ(s.gyroZ, -6553);
}

TEST(RecordingReaderTest, DeviceCountsPassThroughAndMissingFieldsAreZero) {
  RawSample s;
  ParseDeviceLine("17,100,-200,8192,5.9,-5.9,32768,99\n", &s);
  EXPECT_EQ(s.accX, 100);
  EXPECT_EQ(s.accY, -200);
  EXPECT_EQ(s.accZ, 8192);
  EXPECT_EQ(s.gyroX, 5);
  EXPECT_EQ(s.gyroY, -5);
  EXPECT_EQ(s.gyroZ, 32767);

  ParseDeviceLine("17,100,-200\n", &s);
  EXPECT_EQ(s.accX, 100);
  EXPECT_EQ(s.accY, -200);
  EXPECT_EQ(s.accZ, 0);
  EXPECT_EQ(s.gyroZ, 0);

  ParseKFallLine("0.0,1,0.5\n", &s);
  EXPECT_EQ(s.accX, 4096);
  EXPECT_EQ(s.accY, 0);
  EXPECT_EQ(s.gyroZ, 0);
}

}  // namespace
