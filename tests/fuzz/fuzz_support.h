#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_support {

// Sends the harness's console output to /dev/null so that the fuzzer's own
// report stays readable and the run is not bound by terminal output.
void SilenceStdout();

// A scratch folder private to this fuzzing process.
const std::string& ScratchDir();

// Writes the bytes to a file in the scratch folder and returns its path.
std::string WriteScratchFile(const std::string& name, const uint8_t* data, size_t size);

}  // namespace fuzz_support

#endif
