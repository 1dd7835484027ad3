// Row-wise softmax for a vector type V (simd_avx512.h, simd_avx2.h). The row
// maximum and the division run in vectors, and the exponentials too where
// libm_guard.h allows the vector expf (expf_simd.h); their sum stays one
// addition at a time in ascending column order.
#pragma once

#include <math.h>

#include <cstdint>
#include <cstring>

#include "kernels/elementwise_simd.h"
#include "kernels/libm_guard.h"

namespace qen {
namespace {

// Every lane starts from the first value and takes a later one only when it
// is strictly greater, as the reference does, so a NaN never becomes the
// maximum unless it comes first. Which of +0.0 and -0.0 wins a tie may
// differ from the reference, but x - m and so every result is the same.
template <class V>
float row_max(const void* row, uint64_t cols) {
  float m;
  std::memcpy(&m, row, sizeof m);
  uint64_t c = 0;
  if (cols >= V::kWidth) {
    typename V::Reg lanes = V::splat(m);
    for (; c + V::kWidth <= cols; c += V::kWidth) lanes = V::keep_greater(lanes, V::load(float_at(row, c)));
    for (uint64_t l = 0; l < V::kWidth; ++l) m = V::lane(lanes, l) > m ? V::lane(lanes, l) : m;
  }
  for (; c < cols; ++c) {
    float v;
    std::memcpy(&v, float_at(row, c), sizeof v);
    if (v > m) m = v;
  }
  return m;
}

// Softmax's middle step by the C library's expf, one element at a time.
inline void exponentials_by_c_library(const void* x, void* y, uint64_t rows, uint64_t n, const float* m,
                                      float* sums) {
  for (uint64_t r = 0; r < rows; ++r) {
    float s = 0.0f;
    for (uint64_t c = r * n; c < (r + 1) * n; ++c) {
      float v;
      std::memcpy(&v, float_at(x, c), sizeof v);
      const float e = expf(v - m[r]);
      std::memcpy(float_at(y, c), &e, sizeof e);
      s = s + e;
    }
    sums[r] = s;
  }
}

// V::kWidth rows at a time, so that the vector step runs their sums side by
// side. `exponentials` is the vector step that the C library check allowed,
// or nullptr for the C library's own expf.
template <class V>
void softmax_f32(const void* x, void* y, uint64_t rows, uint64_t cols, Exponentials exponentials) {
  if (cols == 0) return;
  if (exponentials == nullptr) exponentials = exponentials_by_c_library;
  for (uint64_t r = 0; r < rows; r += V::kWidth) {
    const uint64_t count = smaller(V::kWidth, rows - r);
    float m[V::kWidth], s[V::kWidth];
    for (uint64_t i = 0; i < count; ++i) m[i] = row_max<V>(float_at(x, (r + i) * cols), cols);
    exponentials(float_at(x, r * cols), float_at(y, r * cols), count, cols, m, s);
    for (uint64_t i = 0; i < count; ++i) {
      const typename V::Reg sum = V::splat(s[i]);
      unsigned char* out = float_at(y, (r + i) * cols);
      map_vectors<V>(out, out, cols, [&](typename V::Reg v) { return V::div(v, sum); });
    }
  }
}

}  // namespace
}  // namespace qen
