#include "tumblix/ml/vector_text.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

bool ParseDecimal(const std::string& token, float* value) {
  char* end = nullptr;
  errno = 0;
  const float parsed = std::strtof(token.c_str(), &end);
  // Out-of-range decimals become ±inf or a denormal/zero with ERANGE, which is
  // what the value means in single precision, so ERANGE is accepted.
  if (end == token.c_str() || *end != '\0') return false;
  *value = parsed;
  return true;
}

bool ParseBits(const std::string& token, float* value) {
  if (token.empty() || token.size() > 8) return false;
  for (char c : token) {
    if (std::strchr("0123456789abcdefABCDEF", c) == nullptr) return false;
  }
  const uint32_t bits = static_cast<uint32_t>(std::strtoul(token.c_str(), nullptr, 16));
  std::memcpy(value, &bits, sizeof(bits));
  return true;
}

}  // namespace

bool ReadVectorLines(std::istream& in, std::vector<VectorLine>* lines, std::string* error) {
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    std::istringstream tokens(text);
    std::string token;
    if (!(tokens >> token) || token[0] == '#') continue;
    const bool hex = token == "x";
    VectorLine line{number, {}};
    if (hex && !(tokens >> token)) {
      *error = "line " + std::to_string(number) + ": 'x' line without values";
      return false;
    }
    do {
      float value = 0.0f;
      if (!(hex ? ParseBits(token, &value) : ParseDecimal(token, &value))) {
        *error = "line " + std::to_string(number) + ": '" + token + "' is not " +
                 (hex ? "a 32-bit hex pattern" : "a number");
        return false;
      }
      line.values.push_back(value);
    } while (tokens >> token);
    lines->push_back(std::move(line));
  }
  if (in.bad()) {
    *error = "read error after line " + std::to_string(number);
    return false;
  }
  return true;
}

std::string FormatValuesWithBits(const float* values, size_t count) {
  std::string out;
  char item[64];
  for (size_t i = 0; i < count; ++i) {
    uint32_t bits = 0;
    std::memcpy(&bits, &values[i], sizeof(bits));
    std::snprintf(item, sizeof(item), " %.9g 0x%08" PRIx32, static_cast<double>(values[i]), bits);
    out += item;
  }
  return out;
}
