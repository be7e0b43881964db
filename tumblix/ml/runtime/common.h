// C-level types shared by the interpreter and its kernels: statuses, element
// types, shapes, tensors, graph nodes, the kernel context and the kernel
// registration record. Names follow the TensorFlow Lite C interface so that
// code written against that library reads the same here.
#ifndef TUMBLIX_ML_RUNTIME_COMMON_H
#define TUMBLIX_ML_RUNTIME_COMMON_H

#include <cstddef>
#include <cstdint>

enum TfLiteStatus {
  kTfLiteOk = 0,
  kTfLiteError = 1,
};

// Element types of tensors. Only float32 and int32 occur in the models this
// runtime accepts; the other values exist so that a refusal can name them.
enum TfLiteType {
  kTfLiteNoType = 0,
  kTfLiteFloat32 = 1,
  kTfLiteInt32 = 2,
  kTfLiteUInt8 = 3,
  kTfLiteInt64 = 4,
  kTfLiteString = 5,
  kTfLiteBool = 6,
  kTfLiteInt16 = 7,
  kTfLiteComplex64 = 8,
  kTfLiteInt8 = 9,
  kTfLiteFloat16 = 10,
  kTfLiteFloat64 = 11,
};

const char* TfLiteTypeGetName(TfLiteType type);

// A length-prefixed array of ints, used for shapes and for node operand
// lists. Always lives in the tensor arena; `data` runs past the struct.
struct TfLiteIntArray {
  int size;
  int data[];
};

// Bytes needed for a TfLiteIntArray of `size` elements.
size_t TfLiteIntArrayGetSizeInBytes(int size);

union TfLitePtrUnion {
  int32_t* i32;
  int64_t* i64;
  float* f;
  int16_t* i16;
  int8_t* int8;
  uint8_t* uint8;
  bool* b;
  char* raw;
  const char* raw_const;
  void* data;
};

struct TfLiteQuantizationParams {
  float scale;
  int32_t zero_point;
};

enum TfLiteAllocationType {
  kTfLiteMemNone = 0,
  // Constant data read in place from the model buffer.
  kTfLiteMmapRo = 1,
  // Planned inside the tensor arena; may share memory with tensors whose
  // lifetimes do not overlap.
  kTfLiteArenaRw = 2,
};

struct TfLiteTensor {
  TfLitePtrUnion data;
  TfLiteIntArray* dims;
  TfLiteQuantizationParams params;
  size_t bytes;
  TfLiteType type;
  TfLiteAllocationType allocation_type;
  bool is_variable;
  // Points into the model buffer; null when the model names no tensor.
  const char* name;
};

struct TfLiteNode {
  TfLiteIntArray* inputs;   // tensor indexes; -1 marks an omitted optional input
  TfLiteIntArray* outputs;
  TfLiteIntArray* intermediates;
  TfLiteIntArray* temporaries;
  void* user_data;          // what the kernel's init returned
  void* builtin_data;       // parsed builtin options, or null
  const void* custom_initial_data;
  int custom_initial_data_size;
};

struct TfLiteContext {
  size_t tensors_size;
  TfLiteTensor* tensors;
  void* impl_;
  void (*ReportError)(TfLiteContext* context, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  // Persistent memory from the tail of the arena; only while tensors are
  // being allocated (kernel init and prepare), null at any other time.
  void* (*AllocatePersistentBuffer)(TfLiteContext* context, size_t bytes);
};

struct TfLiteRegistration {
  void* (*init)(TfLiteContext* context, const char* buffer, size_t length);
  void (*free)(TfLiteContext* context, void* buffer);
  TfLiteStatus (*prepare)(TfLiteContext* context, TfLiteNode* node);
  TfLiteStatus (*invoke)(TfLiteContext* context, TfLiteNode* node);
  const char* (*profiling_string)(const TfLiteContext* context, const TfLiteNode* node);
  int32_t builtin_code;
  const char* custom_name;
  int version;
};

// Parsed builtin options handed to the kernels through builtin_data.
enum TfLiteFusedActivation {
  kTfLiteActNone = 0,
  kTfLiteActRelu = 1,
  kTfLiteActReluN1To1 = 2,
  kTfLiteActRelu6 = 3,
  kTfLiteActTanh = 4,
  kTfLiteActSignBit = 5,
  kTfLiteActSigmoid = 6,
};

enum TfLiteFullyConnectedWeightsFormat {
  kTfLiteFullyConnectedWeightsFormatDefault = 0,
  kTfLiteFullyConnectedWeightsFormatShuffled4x16Int8 = 1,
};

struct TfLiteFullyConnectedParams {
  TfLiteFusedActivation activation;
  TfLiteFullyConnectedWeightsFormat weights_format;
  bool keep_num_dims;
  bool asymmetric_quantize_inputs;
};

struct TfLiteSoftmaxParams {
  float beta;
};

constexpr int kTfLiteReshapeMaxDimensions = 8;

struct TfLiteReshapeParams {
  int shape[kTfLiteReshapeMaxDimensions];
  int num_dimensions;
};

#endif
