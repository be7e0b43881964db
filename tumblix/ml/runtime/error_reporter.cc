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

namespace {

DebugLogCapture* g_capture = nullptr;

}  // namespace

DebugLogCapture::DebugLogCapture(char* buffer, size_t size) : buffer_(buffer), size_(size) {
  if (size_ > 0) buffer_[0] = '\0';
  g_capture = this;
}

DebugLogCapture::~DebugLogCapture() { g_capture = nullptr; }

void DebugLogCapture::Take(const char* text) {
  // Every report ends with a line end of its own; that is not a message.
  if (captured_ || size_ == 0 || text[0] == '\r' || text[0] == '\n') return;
  std::snprintf(buffer_, size_, "%s", text);
  captured_ = true;
}

}  // namespace tflite

extern "C" void DebugLog(const char* text) {
  if (tflite::g_capture != nullptr) tflite::g_capture->Take(text);
}
