// Text format of inference vectors, shared by tools/tflite_run and the
// tests: one inference per line, values separated by blanks, '#' starting a
// comment line. Decimal values are read with strtof (so "inf", "-inf" and
// "nan" are accepted); a line starting with "x" holds IEEE single-precision
// bit patterns in hex instead.
#ifndef TUMBLIX_ML_VECTOR_TEXT_H
#define TUMBLIX_ML_VECTOR_TEXT_H

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

struct VectorLine {
  int line_number;  // 1-based line in the file
  std::vector<float> values;
};

// Appends every inference line of `in` to `lines`. False, with `error` naming
// the line and the token, at the first value that does not parse.
bool ReadVectorLines(std::istream& in, std::vector<VectorLine>* lines, std::string* error);

// " VALUE 0xBITS" for each value: VALUE with %.9g, which reads back to the
// same float, and BITS the IEEE pattern in 8 hex digits.
std::string FormatValuesWithBits(const float* values, size_t count);

#endif
