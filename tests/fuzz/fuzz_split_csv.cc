// SplitCsvLine on arbitrary text with every field limit from 1 to 12. The
// fields must lie inside the line, in order and without overlap, each cut
// where a comma was; joined again with commas they give back the line up to
// where the split stopped.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "harness/file_utils.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the limit, the rest is the line; a NUL in the line
  // ends it, as it would for any C text.
  const int max_fields = 1 + data[0] % 12;
  const std::string original(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t length = std::strlen(original.c_str());

  // Exactly the line and its terminator on the heap, and exactly max_fields
  // slots, so that a step past either is caught by the sanitizer.
  std::unique_ptr<char[]> line(new char[length + 1]);
  std::memcpy(line.get(), original.c_str(), length + 1);
  std::unique_ptr<char*[]> fields(new char*[max_fields]);

  const int count = SplitCsvLine(line.get(), fields.get(), max_fields);
  Check(count >= 0 && count <= max_fields);
  Check((count == 0) == (length == 0));

  const char* begin = line.get();
  const char* end = begin + length;
  std::string joined;
  for (int i = 0; i < count; ++i) {
    const char* field = fields[i];
    Check(field >= begin && field < end);
    const size_t field_length = std::strlen(field);
    Check(field + field_length <= end);
    if (i > 0) {
      // The previous field ended at a comma that is now the terminator.
      Check(field > fields[i - 1]);
      Check(fields[i - 1] + std::strlen(fields[i - 1]) + 1 == field);
      Check(original[static_cast<size_t>(field - begin) - 1] == ',');
      joined += ',';
    } else {
      Check(field == begin);
    }
    joined.append(field, field_length);
  }
  // Nothing was lost or changed but the commas that were cut.
  Check(original.compare(0, joined.size(), joined) == 0);
  // Below the limit the split only stops at the end of the text (a comma at
  // the very end starts no field).
  if (count < max_fields) {
    Check(joined.size() == length || (joined.size() + 1 == length && original[length - 1] == ','));
  }
  return 0;
}
