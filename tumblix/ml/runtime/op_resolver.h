// Operator lookup: which kernel and which options parser serve a builtin
// operator code of the model.
#ifndef TUMBLIX_ML_RUNTIME_OP_RESOLVER_H
#define TUMBLIX_ML_RUNTIME_OP_RESOLVER_H

#include <cstddef>
#include <new>

#include "tumblix/ml/runtime/common.h"
#include "tumblix/ml/runtime/error_reporter.h"
#include "tumblix/ml/runtime/kernels/kernels.h"
#include "tumblix/ml/runtime/tflite_schema_generated.h"

namespace tflite {

class MicroOpResolver {
 public:
  virtual ~MicroOpResolver() = default;
  // Null when the operator is not registered.
  virtual const TfLiteRegistration* FindOp(BuiltinOperator op) const = 0;
  virtual const TfLiteRegistration* FindOp(const char* custom_op) const = 0;
  virtual BuiltinParseFunction GetOpDataParser(BuiltinOperator op) const = 0;
};

// A resolver with room for tOpCount operators, filled by the Add* calls.
// Registering an operator twice or past the capacity fails with kTfLiteError
// and a message to the reporter given at construction, if any.
template <unsigned int tOpCount>
class MicroMutableOpResolver : public MicroOpResolver {
 public:
  explicit MicroMutableOpResolver(ErrorReporter* error_reporter = nullptr)
      : error_reporter_(error_reporter) {}

  const TfLiteRegistration* FindOp(BuiltinOperator op) const override {
    for (unsigned int i = 0; i < count_; ++i) {
      if (codes_[i] == op) return &registrations_[i];
    }
    return nullptr;
  }

  // Custom operators are not supported by this runtime.
  const TfLiteRegistration* FindOp(const char*) const override { return nullptr; }

  BuiltinParseFunction GetOpDataParser(BuiltinOperator op) const override {
    for (unsigned int i = 0; i < count_; ++i) {
      if (codes_[i] == op) return parsers_[i];
    }
    return nullptr;
  }

  TfLiteStatus AddFullyConnected(const TfLiteRegistration& registration = Register_FULLY_CONNECTED()) {
    return AddBuiltin(BuiltinOperator_FULLY_CONNECTED, registration, ParseFullyConnected);
  }
  TfLiteStatus AddLogistic(const TfLiteRegistration& registration = Register_LOGISTIC()) {
    return AddBuiltin(BuiltinOperator_LOGISTIC, registration, ParseLogistic);
  }
  TfLiteStatus AddReshape(const TfLiteRegistration& registration = Register_RESHAPE()) {
    return AddBuiltin(BuiltinOperator_RESHAPE, registration, ParseReshape);
  }
  TfLiteStatus AddSoftmax(const TfLiteRegistration& registration = Register_SOFTMAX()) {
    return AddBuiltin(BuiltinOperator_SOFTMAX, registration, ParseSoftmax);
  }

  unsigned int GetRegistrationLength() const { return count_; }

 private:
  TfLiteStatus AddBuiltin(BuiltinOperator op, const TfLiteRegistration& registration,
                          BuiltinParseFunction parser) {
    if (FindOp(op) != nullptr) {
      TF_LITE_REPORT_ERROR(error_reporter_, "Builtin operator %d is already registered.",
                           static_cast<int>(op));
      return kTfLiteError;
    }
    if (count_ >= tOpCount) {
      TF_LITE_REPORT_ERROR(error_reporter_,
                           "Operator resolver is full (capacity %u); builtin operator %d not added.",
                           tOpCount, static_cast<int>(op));
      return kTfLiteError;
    }
    registrations_[count_] = registration;
    registrations_[count_].builtin_code = static_cast<int32_t>(op);
    codes_[count_] = op;
    parsers_[count_] = parser;
    ++count_;
    return kTfLiteOk;
  }

  TfLiteRegistration registrations_[tOpCount] = {};
  BuiltinOperator codes_[tOpCount] = {};
  BuiltinParseFunction parsers_[tOpCount] = {};
  unsigned int count_ = 0;
  ErrorReporter* error_reporter_;
};

}  // namespace tflite

#endif
