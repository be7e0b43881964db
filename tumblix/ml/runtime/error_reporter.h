// Error sink of the runtime. The interpreter and the kernels hand their
// diagnostics to an ErrorReporter; MicroErrorReporter formats them and passes
// the text to DebugLog, the platform's log output.
#ifndef TUMBLIX_ML_RUNTIME_ERROR_REPORTER_H
#define TUMBLIX_ML_RUNTIME_ERROR_REPORTER_H

#include <cstdarg>
#include <cstddef>

namespace tflite {

class ErrorReporter {
 public:
  virtual ~ErrorReporter() = default;
  virtual int Report(const char* format, va_list args) = 0;
  int Report(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The first argument is unused; it keeps the call shape of the C interface.
  int ReportError(void* unused, const char* format, ...) __attribute__((format(printf, 3, 4)));
};

class MicroErrorReporter : public ErrorReporter {
 public:
  ~MicroErrorReporter() override = default;
  using ErrorReporter::Report;
  int Report(const char* format, va_list args) override;
};

}  // namespace tflite

// The platform's log output. In this system nothing is shown: the device has
// no console and the harness prints only its own messages.
extern "C" void DebugLog(const char* text);

namespace tflite {

// While one lives, the first message the runtime reports is kept in the
// caller's buffer (cut to fit, without its line end) instead of being
// dropped, so that a caller checking a model can say why it was refused.
// One at a time, on the thread that runs the runtime.
class DebugLogCapture {
 public:
  DebugLogCapture(char* buffer, size_t size);
  ~DebugLogCapture();
  DebugLogCapture(const DebugLogCapture&) = delete;
  DebugLogCapture& operator=(const DebugLogCapture&) = delete;
  bool captured() const { return captured_; }
  void Take(const char* text);

 private:
  char* buffer_;
  size_t size_;
  bool captured_ = false;
};

}  // namespace tflite

// Reports through `reporter` when there is one; a null reporter drops the
// message.
#define TF_LITE_REPORT_ERROR(reporter, ...)                                   \
  do {                                                                        \
    ::tflite::ErrorReporter* tf_lite_report_target_ = (reporter);             \
    if (tf_lite_report_target_ != nullptr) tf_lite_report_target_->Report(__VA_ARGS__); \
  } while (false)

#endif
