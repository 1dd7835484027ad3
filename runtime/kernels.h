// The four CPU operations on FP32 row-major tensors: linear, relu, gelu and
// softmax. Each writes into an output its caller allocated and never
// allocates; none keeps state. Results are fixed bit for bit by the order of
// operations documented on each scalar kernel, which every faster variant
// must reproduce exactly, and every NaN they write is canonical_nan().
//
// Element pointers handed to a kernel may sit at any byte address (weights
// lie wherever the model file puts them), so kernels read and write through
// load_f32/store_f32 and never dereference a float pointer.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "qen/tensor_view.h"

namespace qen {

// Checked entry points. They validate their operands, then run the variant
// chosen for this machine. With `threads` above 1 a large enough call is cut
// into parts (rows and output columns of linear, element ranges of relu and
// gelu, rows of softmax) that the thread pool shares out; every output is
// still computed whole, by one thread, so the bits do not depend on it.
//
// linear: x [M, K], W [N, K], b (at least N values), y [M, N]; all FP32.
// Checks, in order: x is 2-D, W is 2-D ("Linear expects 2D tensors"); W's
// second extent is K (the shape-mismatch message); x, W and b are FP32 ("Only
// FP32 supported"); b holds at least N elements; y is FP32 [M, N].
void linear(const TensorView& x, const TensorView& w, const TensorView& b, TensorView& y, unsigned threads = 1);
// softmax: row-wise over x [R, C] into y [R, C]. Checks, in order: x is FP32
// ("Only FP32 supported"), x is 2-D ("Softmax only supports 2D tensors"),
// y is FP32 with x's shape.
void softmax(const TensorView& x, TensorView& y, unsigned threads = 1);
// relu, gelu: elementwise over n FP32 values; they cannot fail.
void relu(const void* x, void* y, uint64_t n);
void gelu(const void* x, void* y, uint64_t n);
void relu(const void* x, void* y, uint64_t n, unsigned threads);
void gelu(const void* x, void* y, uint64_t n, unsigned threads);

// The shape every variant of a kernel shares. Indices are 64-bit throughout.
struct LinearArgs {
  const void* x;  // [m, k]
  const void* w;  // [n, k]
  const void* b;  // n values
  void* y;        // m rows of n values, y_stride values apart
  uint64_t m, n, k;
  uint64_t y_stride;  // n, unless y is a block of columns of a wider output
};

// One implementation of every kernel for one instruction set. All of them
// give the scalar reference's bits.
struct KernelVariant {
  const char* name;
  bool (*supported)();  // whether this CPU can run it
  void (*linear)(const LinearArgs&);
  void (*relu)(const void*, void*, uint64_t);
  void (*gelu)(const void*, void*, uint64_t);
  void (*softmax)(const void*, void*, uint64_t, uint64_t);
};

// Every variant this build holds, fastest first; the last is the scalar
// reference, which every CPU supports.
const std::vector<KernelVariant>& kernel_variants();
// The first supported variant, chosen once; the checked entry points run it.
const KernelVariant& active_kernels();

// Reference order: for each i, j: acc = +0.0; for k ascending
// acc = acc + (w[j*K+k] * x[i*K+k]), each step rounded; y[i*S+j] = acc + b[j]
// with S the row stride of y.
void linear_f32_scalar(const LinearArgs& args);
// y = x > 0 ? x : +0.0 (NaN and -0.0 give +0.0).
void relu_f32_scalar(const void* x, void* y, uint64_t n);
// Tanh approximation, each step rounded: t = v*v; t = t*v; t = t*0.044715f;
// t = t+v; t = t*0.7978846f; t = tanhf(t); t = t+1; u = v*0.5f; y = t*u.
// tanhf and softmax's expf are correctly rounded (kernels/exp_tanh.h).
void gelu_f32_scalar(const void* x, void* y, uint64_t n);
// Per row: m = first value, replaced by any later value > m (a NaN never
// replaces it); e = expf(x - m), y = e, s += e ascending from +0.0; y /= s.
void softmax_f32_scalar(const void* x, void* y, uint64_t rows, uint64_t cols);

// Vector variants, built on x86-64 (AVX-512, AVX2) or aarch64 (NEON) only,
// each from its own file compiled for its instruction set.
void linear_f32_avx512(const LinearArgs& args);
void relu_f32_avx512(const void* x, void* y, uint64_t n);
void gelu_f32_avx512(const void* x, void* y, uint64_t n);
void softmax_f32_avx512(const void* x, void* y, uint64_t rows, uint64_t cols);
void linear_f32_avx2(const LinearArgs& args);
void relu_f32_avx2(const void* x, void* y, uint64_t n);
void gelu_f32_avx2(const void* x, void* y, uint64_t n);
void softmax_f32_avx2(const void* x, void* y, uint64_t rows, uint64_t cols);
void gelu_f32_avx2_fma(const void* x, void* y, uint64_t n);
void softmax_f32_avx2_fma(const void* x, void* y, uint64_t rows, uint64_t cols);
void linear_f32_neon(const LinearArgs& args);
void relu_f32_neon(const void* x, void* y, uint64_t n);
void gelu_f32_neon(const void* x, void* y, uint64_t n);
void softmax_f32_neon(const void* x, void* y, uint64_t rows, uint64_t cols);

inline float load_f32(const void* base, uint64_t index) {
  float value;
  std::memcpy(&value, static_cast<const unsigned char*>(base) + index * sizeof(float), sizeof value);
  return value;
}

inline void store_f32(void* base, uint64_t index, float value) {
  std::memcpy(static_cast<unsigned char*>(base) + index * sizeof(float), &value, sizeof value);
}

// The one NaN every kernel writes (quiet, positive, payload zero), whatever
// made it: processors differ in the sign of the NaN an invalid operation
// gives, and in which operand's NaN an operation passes on. Kernels apply it
// where they store a result, never inside their loops.
constexpr uint32_t kCanonicalNaNBits = 0x7fc00000;

inline float canonical_nan() {
  float value;
  std::memcpy(&value, &kCanonicalNaNBits, sizeof value);
  return value;
}

// v, or the canonical NaN where v is a NaN.
inline float with_canonical_nan(float v) { return v != v ? canonical_nan() : v; }

}  // namespace qen
