// Row-wise softmax for a vector type V (simd_avx512.h, simd_avx2.h). The row
// maximum and the division run in vectors; the exponentials and their sum
// stay one element at a time, since the sum adds in ascending column order
// and expf is the C library's.
#pragma once

#include <math.h>

#include <cstdint>
#include <cstring>

#include "kernels/elementwise_simd.h"

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

template <class V>
void softmax_f32(const void* x, void* y, uint64_t rows, uint64_t cols) {
  if (cols == 0) return;
  for (uint64_t r = 0; r < rows; ++r) {
    const unsigned char* in = float_at(x, r * cols);
    unsigned char* out = float_at(y, r * cols);
    const float m = row_max<V>(in, cols);
    float s = 0.0f;
    for (uint64_t c = 0; c < cols; ++c) {
      float v;
      std::memcpy(&v, in + c * 4, sizeof v);
      const float e = expf(v - m);
      std::memcpy(out + c * 4, &e, sizeof e);
      s = s + e;
    }
    const typename V::Reg sum = V::splat(s);
    map_vectors<V>(out, out, cols, [&](typename V::Reg v) { return V::div(v, sum); });
  }
}

}  // namespace
}  // namespace qen
