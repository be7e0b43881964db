#include "tumblix/ml/runtime/common.h"

const char* TfLiteTypeGetName(TfLiteType type) {
  switch (type) {
    case kTfLiteNoType: return "NOTYPE";
    case kTfLiteFloat32: return "FLOAT32";
    case kTfLiteInt32: return "INT32";
    case kTfLiteUInt8: return "UINT8";
    case kTfLiteInt64: return "INT64";
    case kTfLiteString: return "STRING";
    case kTfLiteBool: return "BOOL";
    case kTfLiteInt16: return "INT16";
    case kTfLiteComplex64: return "COMPLEX64";
    case kTfLiteInt8: return "INT8";
    case kTfLiteFloat16: return "FLOAT16";
    case kTfLiteFloat64: return "FLOAT64";
  }
  return "Unknown type";
}

size_t TfLiteIntArrayGetSizeInBytes(int size) {
  return sizeof(TfLiteIntArray) + sizeof(int) * static_cast<size_t>(size < 0 ? 0 : size);
}
