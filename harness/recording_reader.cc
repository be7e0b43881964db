#include "harness/recording_reader.h"

#include <cmath>
#include <cstdlib>

#include "harness/decimal_text.h"

bool IsDataLine(const char* line) {
  const char c = line[0];
  return (c >= '0' && c <= '9') || c == '-';
}

namespace {

// Reads up to max_values numeric fields after passing over the first
// `ignored` fields unconverted. Passing over a field is what reading it does
// to the line: a number never runs past a comma, and the rest of its field
// up to the next comma is skipped anyway. Returns the number of fields read.
int ReadFieldsAfter(const char* line, int ignored, double* values, int max_values) {
  const char* p = line;
  for (int passed = 0; passed < ignored; ++passed) {
    while (*p == ',') ++p;
    if (*p == '\0') return 0;
    while (*p != ',' && *p != '\0') ++p;
  }
  int count = 0;
  while (count < max_values) {
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

}  // namespace

int ReadNumericFields(const char* line, double* values, int max_fields) {
  return ReadFieldsAfter(line, 0, values, max_fields);
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

// The fields that are ignored (index; time stamp and frame counter) are
// passed over without being converted.
void ParseDeviceLine(const char* line, RawSample* sample) {
  double values[6] = {0, 0, 0, 0, 0, 0};
  ReadFieldsAfter(line, 1, values, 6);
  FillSample(values, 1.0, 1.0, sample);
}

void ParseKFallLine(const char* line, RawSample* sample) {
  double values[6] = {0, 0, 0, 0, 0, 0};
  ReadFieldsAfter(line, 2, values, 6);
  FillSample(values, kKFallAccScale, kKFallGyroScale, sample);
}
