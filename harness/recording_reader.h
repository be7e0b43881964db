#ifndef HARNESS_RECORDING_READER_H
#define HARNESS_RECORDING_READER_H

#include <cstdint>

#include "tumblix/raw_sample.h"

// Line handling shared by the device and KFall readers.

// A data line starts with a decimal digit or a minus sign.
bool IsDataLine(const char* line);

// Reads up to max_fields numeric fields of a comma-separated line into
// values. Runs of commas count as one separator, so empty fields are skipped;
// a field that is not a number reads as 0. Returns the number of fields read.
int ReadNumericFields(const char* line, double* values, int max_fields);

// Converts a value in sensor counts to a 16-bit sample: truncation toward
// zero, saturating at the sensor's range (NaN reads as 0).
int16_t SaturateToSample(double counts);

// Sensor counts per unit used when scaling KFall's physical units.
constexpr double kKFallAccScale = 8192.0;
constexpr double kKFallGyroScale = static_cast<double>(kGyroCountsPerDps);  // 65.53600311279297

// Device format: field 1 ignored, fields 2 to 7 are the six counts.
// Missing fields read as 0.
void ParseDeviceLine(const char* line, RawSample* sample);
// KFall format: time stamp and frame counter ignored, then acceleration in g
// and angular rate in deg/s. Missing fields read as 0.
void ParseKFallLine(const char* line, RawSample* sample);

#endif
