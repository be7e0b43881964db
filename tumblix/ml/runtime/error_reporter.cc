#include "tumblix/ml/runtime/error_reporter.h"

#include <cstdio>

namespace tflite {

int ErrorReporter::Report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = Report(format, args);
  va_end(args);
  return result;
}

int ErrorReporter::ReportError(void*, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = Report(format, args);
  va_end(args);
  return result;
}

int MicroErrorReporter::Report(const char* format, va_list args) {
  // A fixed buffer: reporting must work when the heap is exhausted, and a
  // longer message is cut rather than dropped.
  char text[256];
  std::vsnprintf(text, sizeof(text), format, args);
  DebugLog(text);
  DebugLog("\r\n");
  return 0;
}

}  // namespace tflite

extern "C" void DebugLog(const char*) {}
