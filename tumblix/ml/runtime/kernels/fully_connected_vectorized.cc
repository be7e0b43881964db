// Several outputs are computed side by side, one SIMD lane per output, each
// keeping its own sum in input order, rounded to float after every product
// and every addition, with the bias after the sum: inside any one output the
// operations are those of the reference loop, so the bits are too.
//
// The weights stay as the model stores them, row by row ([units, depth]);
// repacking them for the lanes would take memory beyond the tensor arena.
// So four inputs at a time, each row's four products are formed lane-wise
// against the same four inputs (the very products of the reference loop),
// the 4 x 4 blocks of products are transposed in registers so that each
// vector holds one input's products for four outputs, and those are added to
// the sums in input order. No fused multiply-add: a product and a sum are two
// roundings, as in the reference.
//
// What limits this: the transposition takes 12 shuffle operations per 32
// multiply-adds (4 to pair rows, 8 to transpose) and the processor runs two
// shuffles per cycle, so a layer costs at least 0.19 cycles per multiply-add;
// sixteen outputs per pass (two chains of additions) already reach that, and
// 32 per pass measured no faster.
#include "tumblix/ml/runtime/kernels/fully_connected_vectorized.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TUMBLIX_FC_AVX 1
#endif

namespace tflite {
namespace {

inline float Clamp(float x, float lo, float hi) { return std::min(std::max(x, lo), hi); }

// The outputs from `first` on, one scalar sum each, four at a time sharing
// every input load.
inline void ScalarRows(const float* x, const float* weights, const float* bias, float* y, int first, int units, int depth,
                float lo, float hi) {
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
    y[o] = Clamp(t0 + (bias != nullptr ? bias[o] : 0.0f), lo, hi);
    y[o + 1] = Clamp(t1 + (bias != nullptr ? bias[o + 1] : 0.0f), lo, hi);
    y[o + 2] = Clamp(t2 + (bias != nullptr ? bias[o + 2] : 0.0f), lo, hi);
    y[o + 3] = Clamp(t3 + (bias != nullptr ? bias[o + 3] : 0.0f), lo, hi);
  }
  for (; o < units; ++o) {
    const float* w = weights + static_cast<size_t>(o) * depth;
    float total = 0.0f;
    for (int d = 0; d < depth; ++d) total += x[d] * w[d];
    y[o] = Clamp(total + (bias != nullptr ? bias[o] : 0.0f), lo, hi);
  }
}

// Finishes `count` sums (t, one per output from w0's row on) over the inputs
// [d, depth) one by one, then adds the bias and applies the activation.
inline void FinishSums(float* t, int count, const float* x, const float* w0, int d, int depth, const float* bias,
                       float* y, float lo, float hi) {
  for (int k = 0; k < count; ++k) {
    const float* w = w0 + static_cast<size_t>(k) * depth;
    for (int i = d; i < depth; ++i) t[k] += x[i] * w[i];
    y[k] = Clamp(t[k] + (bias != nullptr ? bias[k] : 0.0f), lo, hi);
  }
}

void ScalarKernel(const FullyConnectedParams& p, const float* input, const float* weights, const float* bias,
                  float* output) {
  for (int b = 0; b < p.batches; ++b) {
    ScalarRows(input + static_cast<size_t>(b) * p.depth, weights, bias, output + static_cast<size_t>(b) * p.units, 0,
               p.units, p.depth, p.activation_min, p.activation_max);
  }
}

#if defined(__SSE2__)

// Four outputs over four inputs: rows o to o + 3 from w0 on.
inline __m128 AddProducts4(const float* w0, size_t depth, __m128 xs, __m128 sum) {
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

// Eight outputs per pass from output `first` on, two independent groups of
// four; returns the first output not computed.
inline int Sse2Passes(const float* x, const float* weights, const float* bias, float* y, int first, int units, int depth,
               float lo, float hi) {
  constexpr int kPerPass = 8;
  const size_t rows = static_cast<size_t>(depth);
  int o = first;
  for (; o + kPerPass <= units; o += kPerPass) {
    const float* wa = weights + static_cast<size_t>(o) * rows;
    const float* wb = wa + 4 * rows;
    __m128 sum_a = _mm_setzero_ps();
    __m128 sum_b = _mm_setzero_ps();
    int d = 0;
    for (; d + 4 <= depth; d += 4) {
      const __m128 xs = _mm_loadu_ps(x + d);
      sum_a = AddProducts4(wa + d, rows, xs, sum_a);
      sum_b = AddProducts4(wb + d, rows, xs, sum_b);
    }
    alignas(16) float t[kPerPass];
    _mm_store_ps(t, sum_a);
    _mm_store_ps(t + 4, sum_b);
    FinishSums(t, kPerPass, x, wa, d, depth, bias != nullptr ? bias + o : nullptr, y + o, lo, hi);
  }
  return o;
}

void Sse2Kernel(const FullyConnectedParams& p, const float* input, const float* weights, const float* bias,
                float* output) {
  for (int b = 0; b < p.batches; ++b) {
    const float* x = input + static_cast<size_t>(b) * p.depth;
    float* y = output + static_cast<size_t>(b) * p.units;
    const int o = Sse2Passes(x, weights, bias, y, 0, p.units, p.depth, p.activation_min, p.activation_max);
    ScalarRows(x, weights, bias, y, o, p.units, p.depth, p.activation_min, p.activation_max);
  }
}

#endif

#if defined(TUMBLIX_FC_AVX)

// Eight outputs over four inputs in one AVX register: lanes 0 to 3 carry
// rows o to o + 3 and lanes 4 to 7 rows o + 4 to o + 7, so that the
// transposition stays within each 128-bit half.
__attribute__((target("avx"))) inline __m256 RowPair(const float* row, size_t half) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(row)), _mm_loadu_ps(row + half), 1);
}

__attribute__((target("avx"))) inline __m256 AddProducts8(const float* w0, size_t depth, __m256 xs, __m256 sum) {
  const size_t half = 4 * depth;
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

// Sixteen outputs per pass from output `first` on, two independent groups
// of eight with their sums in registers; returns the first output not
// computed.
__attribute__((target("avx"))) int AvxPasses16(const float* x, const float* weights, const float* bias, float* y,
                                               int first, int units, int depth, float lo, float hi) {
  constexpr int kPerPass = 16;
  const size_t rows = static_cast<size_t>(depth);
  int o = first;
  for (; o + kPerPass <= units; o += kPerPass) {
    const float* wa = weights + static_cast<size_t>(o) * rows;
    const float* wb = wa + 8 * rows;
    __m256 sum_a = _mm256_setzero_ps();
    __m256 sum_b = _mm256_setzero_ps();
    int d = 0;
    for (; d + 4 <= depth; d += 4) {
      const __m256 xs = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(x + d));  // the same four in both halves
      sum_a = AddProducts8(wa + d, rows, xs, sum_a);
      sum_b = AddProducts8(wb + d, rows, xs, sum_b);
    }
    alignas(32) float t[kPerPass];
    _mm256_store_ps(t, sum_a);
    _mm256_store_ps(t + 8, sum_b);
    FinishSums(t, kPerPass, x, wa, d, depth, bias != nullptr ? bias + o : nullptr, y + o, lo, hi);
  }
  return o;
}

// Sixteen outputs per pass, then eight at a time with SSE2; the rest scalar.
__attribute__((target("avx"))) void AvxKernel(const FullyConnectedParams& p, const float* input,
                                              const float* weights, const float* bias, float* output) {
  for (int b = 0; b < p.batches; ++b) {
    const float* x = input + static_cast<size_t>(b) * p.depth;
    float* y = output + static_cast<size_t>(b) * p.units;
    int o = AvxPasses16(x, weights, bias, y, 0, p.units, p.depth, p.activation_min, p.activation_max);
    // The rest runs in SSE encodings: clear the upper halves first, or every
    // SSE instruction after this carries a dependency on them.
    _mm256_zeroupper();
    o = Sse2Passes(x, weights, bias, y, o, p.units, p.depth, p.activation_min, p.activation_max);
    ScalarRows(x, weights, bias, y, o, p.units, p.depth, p.activation_min, p.activation_max);
  }
}

#endif

struct KernelList {
  NamedFullyConnectedKernel kernels[4];
  size_t count;
};

KernelList ListKernels() {
  KernelList list = {};
#if defined(TUMBLIX_FC_AVX)
  if (__builtin_cpu_supports("avx")) list.kernels[list.count++] = {"avx", AvxKernel};
#endif
#if defined(__SSE2__)
  list.kernels[list.count++] = {"sse2", Sse2Kernel};
#endif
  list.kernels[list.count++] = {"scalar", ScalarKernel};
  list.kernels[list.count++] = {"reference", FullyConnectedReference};
  return list;
}

}  // namespace

const NamedFullyConnectedKernel* FullyConnectedKernels(size_t* count) {
  static const KernelList list = ListKernels();
  *count = list.count;
  return list.kernels;
}

FullyConnectedKernel ChooseFullyConnectedKernel() {
  size_t count = 0;
  return FullyConnectedKernels(&count)[0].run;
}

}  // namespace tflite
