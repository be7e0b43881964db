// The one header through which the rest of the system reaches the inference
// runtime: error reporting, the model reader (GetModel, the flatbuffer
// verifier), the operator resolver and the interpreter, all in namespace
// tflite with the names of TensorFlow Lite for Microcontrollers.
#ifndef TUMBLIX_ML_RUNTIME_TFLITE_MICRO_H
#define TUMBLIX_ML_RUNTIME_TFLITE_MICRO_H

#include "tumblix/ml/runtime/common.h"
#include "tumblix/ml/runtime/error_reporter.h"
#include "tumblix/ml/runtime/micro_interpreter.h"
#include "tumblix/ml/runtime/op_resolver.h"
#include "tumblix/ml/runtime/tflite_schema_generated.h"

#endif
