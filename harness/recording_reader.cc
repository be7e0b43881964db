#include "harness/recording_reader.h"

#include <cmath>
#include <cstdlib>

#include "harness/decimal_text.h"

bool IsDataLine(const char* line) {
  const char c = line[0];
  return (c >= '0' && c <= '9') || c == '-';
}

int ReadNumericFields(const char* line, double* values, int max_fields) {
  int count = 0;
  const char* p = line;
  while (count < max_fields) {
    while (*p == ',') ++p;
    if (*p == '\0') break;
    char* end = nullptr;
    const double value = ReadDecimal(p, &end);
    values[count++] = (end == p) ? 0.0 : value;
    p = end;
    while (*p != ',' && *p != '\0') ++p;
  }
  return count;
}

int16_t SaturateToSample(double counts) {
  // Clamp in floating point first, so no out-of-range value ever reaches the
  // float-to-integer conversion.
  if (std::isnan(counts)) return 0;
  if (counts >= 32767.0) return 32767;
  if (counts <= -32768.0) return -32768;
  return static_cast<int16_t>(static_cast<int32_t>(counts));
}

namespace {

void FillSample(const double* v, double acc_scale, double gyro_scale, RawSample* sample) {
  sample->accX = SaturateToSample(v[0] * acc_scale);
  sample->accY = SaturateToSample(v[1] * acc_scale);
  sample->accZ = SaturateToSample(v[2] * acc_scale);
  sample->gyroX = SaturateToSample(v[3] * gyro_scale);
  sample->gyroY = SaturateToSample(v[4] * gyro_scale);
  sample->gyroZ = SaturateToSample(v[5] * gyro_scale);
}

}  // namespace

void ParseDeviceLine(const char* line, RawSample* sample) {
  double fields[7] = {0, 0, 0, 0, 0, 0, 0};
  ReadNumericFields(line, fields, 7);
  FillSample(fields + 1, 1.0, 1.0, sample);
}

void ParseKFallLine(const char* line, RawSample* sample) {
  double fields[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  ReadNumericFields(line, fields, 8);
  FillSample(fields + 2, kKFallAccScale, kKFallGyroScale, sample);
}
