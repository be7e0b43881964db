// FULLY_CONNECTED on float32: output[b][o] = act(sum_d input[b][d] * w[o][d]
// + bias[o]), with the weights stored row by row as [units, depth].
#include <algorithm>
#include <cfloat>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TUMBLIX_FC_AVX 1
#endif

#include "tumblix/ml/runtime/kernels/kernel_util.h"
#include "tumblix/ml/runtime/kernels/kernels.h"

namespace tflite {

int g_fc_vector_width = 8;

namespace {

struct FullyConnectedData {
  int batches;
  int units;
  int depth;
  float activation_min;
  float activation_max;
};

inline float Clamp(float x, float lo, float hi) { return std::min(std::max(x, lo), hi); }

// Each output keeps its own sum in input order, rounded to float after every
// product and every addition; the bias comes after the sum. Several outputs
// are computed side by side, which changes nothing inside any one sum: the
// order of its operations is that of one output at a time.

// The last outputs of a layer (and everything, without SSE2): four or fewer
// scalar sums sharing each input load.
void FullyConnectedRows(const float* x, const float* weights, const float* bias, float* y, int first,
                        int units, int depth, float lo, float hi) {
  int o = first;
  for (; o + 4 <= units; o += 4) {
    const float* w0 = weights + static_cast<size_t>(o) * depth;
    const float* w1 = w0 + depth;
    const float* w2 = w1 + depth;
    const float* w3 = w2 + depth;
    float t0 = 0.0f;
    float t1 = 0.0f;
    float t2 = 0.0f;
    float t3 = 0.0f;
    for (int d = 0; d < depth; ++d) {
      const float v = x[d];
      t0 += v * w0[d];
      t1 += v * w1[d];
      t2 += v * w2[d];
      t3 += v * w3[d];
    }
    const float b0 = bias != nullptr ? bias[o] : 0.0f;
    const float b1 = bias != nullptr ? bias[o + 1] : 0.0f;
    const float b2 = bias != nullptr ? bias[o + 2] : 0.0f;
    const float b3 = bias != nullptr ? bias[o + 3] : 0.0f;
    y[o] = Clamp(t0 + b0, lo, hi);
    y[o + 1] = Clamp(t1 + b1, lo, hi);
    y[o + 2] = Clamp(t2 + b2, lo, hi);
    y[o + 3] = Clamp(t3 + b3, lo, hi);
  }
  for (; o < units; ++o) {
    const float* w = weights + static_cast<size_t>(o) * depth;
    float total = 0.0f;
    for (int d = 0; d < depth; ++d) total += x[d] * w[d];
    const float bo = bias != nullptr ? bias[o] : 0.0f;
    y[o] = Clamp(total + bo, lo, hi);
  }
}

// Finishes `count` sums (lanes of t) over the inputs [d, depth) one by one,
// then adds the bias and applies the activation.
inline void FinishSums(float* t, int count, const float* x, const float* w0, int d, int depth, const float* bias,
                       float* y, float lo, float hi) {
  for (int k = 0; k < count; ++k) {
    const float* w = w0 + static_cast<size_t>(k) * depth;
    for (int i = d; i < depth; ++i) t[k] += x[i] * w[i];
    const float b = bias != nullptr ? bias[k] : 0.0f;
    y[k] = Clamp(t[k] + b, lo, hi);
  }
}

#if defined(__SSE2__)

// Several outputs at once, one SIMD lane per output. The weights stay in
// their [units, depth] rows: four inputs at a time, each row's four products
// are formed lane-wise against the same four inputs (the very products of
// the scalar loop), then the 4 x 4 block of products is transposed so that
// each vector holds one input's products for four outputs, and those are
// added to the sums in input order. Independent groups keep several chains
// of additions in flight.
inline __m128 AddProducts(const float* w0, size_t depth, __m128 xs, __m128 sum) {
  __m128 p0 = _mm_mul_ps(_mm_loadu_ps(w0), xs);
  __m128 p1 = _mm_mul_ps(_mm_loadu_ps(w0 + depth), xs);
  __m128 p2 = _mm_mul_ps(_mm_loadu_ps(w0 + 2 * depth), xs);
  __m128 p3 = _mm_mul_ps(_mm_loadu_ps(w0 + 3 * depth), xs);
  _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
  sum = _mm_add_ps(sum, p0);
  sum = _mm_add_ps(sum, p1);
  sum = _mm_add_ps(sum, p2);
  return _mm_add_ps(sum, p3);
}

// Eight outputs per pass, two independent groups of four. Returns the first
// output it did not compute.
int FullyConnectedSse(const float* x, const float* weights, const float* bias, float* y, int units, int depth,
                      float lo, float hi) {
  constexpr int kPerPass = 8;
  const size_t rows = static_cast<size_t>(depth);
  int o = 0;
  for (; o + kPerPass <= units; o += kPerPass) {
    const float* wa = weights + static_cast<size_t>(o) * rows;
    const float* wb = wa + 4 * rows;
    __m128 sum_a = _mm_setzero_ps();
    __m128 sum_b = _mm_setzero_ps();
    int d = 0;
    for (; d + 4 <= depth; d += 4) {
      const __m128 xs = _mm_loadu_ps(x + d);
      sum_a = AddProducts(wa + d, rows, xs, sum_a);
      sum_b = AddProducts(wb + d, rows, xs, sum_b);
    }
    alignas(16) float t[kPerPass];
    _mm_store_ps(t, sum_a);
    _mm_store_ps(t + 4, sum_b);
    FinishSums(t, kPerPass, x, wa, d, depth, bias != nullptr ? bias + o : nullptr, y + o, lo, hi);
  }
  return o;
}

#endif

#if defined(TUMBLIX_FC_AVX)

// The same with eight lanes where the processor has AVX: lanes 0 to 3 carry
// outputs o to o + 3 and lanes 4 to 7 outputs o + 4 to o + 7, so the
// transposition stays within each 128-bit half. No FMA is enabled here: a
// product and a sum are two roundings, as in the scalar loop.
__attribute__((target("avx"))) inline __m256 RowPair(const float* row, size_t half) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(row)), _mm_loadu_ps(row + half), 1);
}

__attribute__((target("avx"))) inline __m256 AddProductsAvx(const float* w0, size_t depth, __m256 xs, __m256 sum) {
  const size_t half = 4 * depth;  // rows o + 4 to o + 7
  const __m256 p0 = _mm256_mul_ps(RowPair(w0, half), xs);
  const __m256 p1 = _mm256_mul_ps(RowPair(w0 + depth, half), xs);
  const __m256 p2 = _mm256_mul_ps(RowPair(w0 + 2 * depth, half), xs);
  const __m256 p3 = _mm256_mul_ps(RowPair(w0 + 3 * depth, half), xs);
  const __m256 t0 = _mm256_unpacklo_ps(p0, p1);
  const __m256 t1 = _mm256_unpacklo_ps(p2, p3);
  const __m256 t2 = _mm256_unpackhi_ps(p0, p1);
  const __m256 t3 = _mm256_unpackhi_ps(p2, p3);
  sum = _mm256_add_ps(sum, _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0)));
  sum = _mm256_add_ps(sum, _mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2)));
  sum = _mm256_add_ps(sum, _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0)));
  return _mm256_add_ps(sum, _mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2)));
}

// Sixteen outputs per pass, two independent groups of eight.
__attribute__((target("avx"))) int FullyConnectedAvx(const float* x, const float* weights, const float* bias,
                                                     float* y, int units, int depth, float lo, float hi) {
  constexpr int kPerPass = 16;
  const size_t rows = static_cast<size_t>(depth);
  int o = 0;
  for (; o + kPerPass <= units; o += kPerPass) {
    const float* wa = weights + static_cast<size_t>(o) * rows;
    const float* wb = wa + 8 * rows;
    __m256 sum_a = _mm256_setzero_ps();
    __m256 sum_b = _mm256_setzero_ps();
    int d = 0;
    for (; d + 4 <= depth; d += 4) {
      const __m128 four = _mm_loadu_ps(x + d);
      const __m256 xs = _mm256_insertf128_ps(_mm256_castps128_ps256(four), four, 1);
      sum_a = AddProductsAvx(wa + d, rows, xs, sum_a);
      sum_b = AddProductsAvx(wb + d, rows, xs, sum_b);
    }
    alignas(32) float t[kPerPass];
    _mm256_store_ps(t, sum_a);
    _mm256_store_ps(t + 8, sum_b);
    FinishSums(t, kPerPass, x, wa, d, depth, bias != nullptr ? bias + o : nullptr, y + o, lo, hi);
  }
  return o;
}

bool HaveAvx() {
  static const bool have = __builtin_cpu_supports("avx");
  return have;
}

#endif

void FullyConnectedFloat(const float* input, const float* weights, const float* bias, float* output,
                         const FullyConnectedData& data) {
  const int depth = data.depth;
  const int units = data.units;
  const float lo = data.activation_min;
  const float hi = data.activation_max;
  for (int b = 0; b < data.batches; ++b) {
    const float* x = input + static_cast<size_t>(b) * depth;
    float* y = output + static_cast<size_t>(b) * units;
    int o = 0;
#if defined(TUMBLIX_FC_AVX)
    if (g_fc_vector_width >= 8 && HaveAvx()) o = FullyConnectedAvx(x, weights, bias, y, units, depth, lo, hi);
#endif
#if defined(__SSE2__)
    if (g_fc_vector_width >= 4) {
      o += FullyConnectedSse(x, weights + static_cast<size_t>(o) * depth, bias != nullptr ? bias + o : nullptr, y + o,
                             units - o, depth, lo, hi);
    }
#endif
    FullyConnectedRows(x, weights, bias, y, o, units, depth, lo, hi);
  }
}

void* Init(TfLiteContext* context, const char*, size_t) {
  return context->AllocatePersistentBuffer(context, sizeof(FullyConnectedData));
}

TfLiteStatus Prepare(TfLiteContext* context, TfLiteNode* node) {
  auto* data = static_cast<FullyConnectedData*>(node->user_data);
  const auto* params = static_cast<const TfLiteFullyConnectedParams*>(node->builtin_data);
  if (data == nullptr || params == nullptr) {
    context->ReportError(context, "FULLY_CONNECTED: tensor arena too small for the operator's data.");
    return kTfLiteError;
  }
  const TfLiteTensor* input = kernel_util::Input(context, node, 0);
  const TfLiteTensor* weights = kernel_util::Input(context, node, 1);
  const TfLiteTensor* bias = kernel_util::Input(context, node, 2);
  TfLiteTensor* output = kernel_util::Output(context, node, 0);
  if (input == nullptr || weights == nullptr || output == nullptr ||
      kernel_util::InputCount(node) > 3 || kernel_util::OutputCount(node) != 1) {
    context->ReportError(context,
                         "FULLY_CONNECTED: needs an input, weights, an optional bias and one output.");
    return kTfLiteError;
  }
  if (input->type != kTfLiteFloat32 || weights->type != kTfLiteFloat32 ||
      output->type != kTfLiteFloat32 || (bias != nullptr && bias->type != kTfLiteFloat32)) {
    context->ReportError(context, "FULLY_CONNECTED: only float32 tensors are supported.");
    return kTfLiteError;
  }
  if (params->weights_format != kTfLiteFullyConnectedWeightsFormatDefault) {
    context->ReportError(context, "FULLY_CONNECTED: weights format %d is not supported.",
                         static_cast<int>(params->weights_format));
    return kTfLiteError;
  }
  switch (params->activation) {
    case kTfLiteActNone:
      data->activation_min = std::numeric_limits<float>::lowest();
      data->activation_max = FLT_MAX;
      break;
    case kTfLiteActRelu:
      data->activation_min = 0.0f;
      data->activation_max = FLT_MAX;
      break;
    case kTfLiteActReluN1To1:
      data->activation_min = -1.0f;
      data->activation_max = 1.0f;
      break;
    case kTfLiteActRelu6:
      data->activation_min = 0.0f;
      data->activation_max = 6.0f;
      break;
    default:
      context->ReportError(context, "FULLY_CONNECTED: fused activation %d is not supported.",
                           static_cast<int>(params->activation));
      return kTfLiteError;
  }
  if (weights->dims->size != 2 || weights->dims->data[0] <= 0 || weights->dims->data[1] <= 0) {
    context->ReportError(context, "FULLY_CONNECTED: weights must have the shape [units, depth].");
    return kTfLiteError;
  }
  const int units = weights->dims->data[0];
  const int depth = weights->dims->data[1];
  const int64_t input_count = kernel_util::ElementCount(input->dims);
  const int64_t output_count = kernel_util::ElementCount(output->dims);
  if (output->dims->size < 1 || output->dims->data[output->dims->size - 1] != units ||
      output_count < 0) {
    context->ReportError(context, "FULLY_CONNECTED: the output's last dimension must be %d.", units);
    return kTfLiteError;
  }
  const int64_t batches = output_count / units;
  if (input_count != batches * depth) {
    context->ReportError(context,
                         "FULLY_CONNECTED: input of %lld elements does not match %lld rows of depth %d.",
                         static_cast<long long>(input_count), static_cast<long long>(batches), depth);
    return kTfLiteError;
  }
  if (bias != nullptr && kernel_util::ElementCount(bias->dims) != units) {
    context->ReportError(context, "FULLY_CONNECTED: bias must hold %d elements.", units);
    return kTfLiteError;
  }
  data->batches = static_cast<int>(batches);
  data->units = units;
  data->depth = depth;
  return kTfLiteOk;
}

TfLiteStatus Eval(TfLiteContext* context, TfLiteNode* node) {
  const auto* data = static_cast<const FullyConnectedData*>(node->user_data);
  const TfLiteTensor* input = kernel_util::Input(context, node, 0);
  const TfLiteTensor* weights = kernel_util::Input(context, node, 1);
  const TfLiteTensor* bias = kernel_util::Input(context, node, 2);
  TfLiteTensor* output = kernel_util::Output(context, node, 0);
  FullyConnectedFloat(input->data.f, weights->data.f, bias != nullptr ? bias->data.f : nullptr,
                      output->data.f, *data);
  return kTfLiteOk;
}

}  // namespace

TfLiteStatus ParseFullyConnected(const Operator* op, ErrorReporter* error_reporter,
                                 BuiltinDataAllocator* allocator, void** builtin_data) {
  const void* raw = nullptr;
  if (kernel_util::OptionsOfType(op, BuiltinOptions_FullyConnectedOptions, "FULLY_CONNECTED",
                                 error_reporter, &raw) != kTfLiteOk) {
    return kTfLiteError;
  }
  auto* params = allocator->AllocatePOD<TfLiteFullyConnectedParams>();
  if (params == nullptr) {
    TF_LITE_REPORT_ERROR(error_reporter, "FULLY_CONNECTED: tensor arena too small for its options.");
    return kTfLiteError;
  }
  params->activation = kTfLiteActNone;
  params->weights_format = kTfLiteFullyConnectedWeightsFormatDefault;
  if (const auto* options = static_cast<const FullyConnectedOptions*>(raw)) {
    // Values the format does not define are refused here; defined ones that
    // the float kernel lacks are refused in prepare.
    const int activation = options->fused_activation_function();
    const int weights_format = options->weights_format();
    if (activation < ActivationFunctionType_NONE || activation > ActivationFunctionType_SIGN_BIT) {
      TF_LITE_REPORT_ERROR(error_reporter, "FULLY_CONNECTED: unknown fused activation %d.", activation);
      return kTfLiteError;
    }
    if (weights_format < FullyConnectedOptionsWeightsFormat_DEFAULT ||
        weights_format > FullyConnectedOptionsWeightsFormat_SHUFFLED4x16INT8) {
      TF_LITE_REPORT_ERROR(error_reporter, "FULLY_CONNECTED: unknown weights format %d.", weights_format);
      return kTfLiteError;
    }
    params->activation = static_cast<TfLiteFusedActivation>(activation);
    params->weights_format = static_cast<TfLiteFullyConnectedWeightsFormat>(weights_format);
    params->keep_num_dims = options->keep_num_dims();
    params->asymmetric_quantize_inputs = options->asymmetric_quantize_inputs();
  }
  *builtin_data = params;
  return kTfLiteOk;
}

TfLiteRegistration Register_FULLY_CONNECTED() {
  TfLiteRegistration registration = {};
  registration.init = Init;
  registration.prepare = Prepare;
  registration.invoke = Eval;
  registration.builtin_code = BuiltinOperator_FULLY_CONNECTED;
  registration.version = 1;
  return registration;
}

}  // namespace tflite
