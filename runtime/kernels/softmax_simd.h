// Row-wise softmax for a vector type V (simd_avx512.h, simd_avx2.h). The row
// maximum, the exponentials (the correctly rounded expf of exp_tanh_simd.h)
// and the division run in vectors; each row's sum stays one addition after
// another in ascending column order.
#pragma once

#include <cstdint>
#include <cstring>

#include "kernels/elementwise_simd.h"
#include "kernels/exp_tanh_simd.h"

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

// Softmax's middle step on `rows` (at most V::kWidth) consecutive rows of n
// values each (row r at x + r n): y[c] = expf(x[c] - m[r]) along row r, and
// into sums[r] the sum of those values from +0.0 in ascending order. The
// exponentials run along each row first, so that the vector math streams
// through memory. Then the rows' sums run side by side, lane r holding row
// r's: each block of kWidth columns of y, still in cache, is read back and
// transposed in registers, so that one vector addition per column adds that
// column's value to every row's sum, in the same order as one addition after
// another along the row. Rows past `rows` and columns past n read as zeros
// and are not added.
template <class V, bool kAllRows>
void exponentials_and_sums(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums) {
  using Reg = typename V::Reg;
  for (uint64_t r = 0; r < rows; ++r) {
    const Reg max = V::splat(m[r]);
    map_vectors<V>(float_at(x, r * n), float_at(y, r * n), n, [&](Reg v) { return expf_vector<V>(V::sub(v, max)); });
  }
  Reg s = V::zero();
  for (uint64_t c = 0; c < n; c += V::kWidth) {
    const uint64_t count = smaller(V::kWidth, n - c);
    Reg e[V::kWidth];
    for (uint64_t r = 0; r < V::kWidth; ++r) {
      const void* at = float_at(y, r * n + c);
      if (!kAllRows && r >= rows)
        e[r] = V::zero();
      else
        e[r] = count == V::kWidth ? V::load(at) : V::load_first(at, count);
    }
    transpose<V>(e);
    for (uint64_t j = 0; j < count; ++j) s = V::add(s, e[j]);
  }
  for (uint64_t r = 0; r < rows; ++r) sums[r] = V::lane(s, r);
}

// The same for one row, its sum in a scalar, one addition after another;
// the next vectors' exponentials proceed while the additions run.
template <class V>
float exponentials_and_sum(const void* x, void* y, uint64_t n, float m) {
  const typename V::Reg max = V::splat(m);
  float s = 0.0f;
  for (uint64_t c = 0; c < n; c += V::kWidth) {
    const uint64_t count = smaller(V::kWidth, n - c);
    if (count == V::kWidth)
      V::store(float_at(y, c), expf_vector<V>(V::sub(V::load(float_at(x, c)), max)));
    else
      V::store_first(float_at(y, c), expf_vector<V>(V::sub(V::load_first(float_at(x, c), count), max)), count);
    for (uint64_t l = 0; l < count; ++l) {
      float e;
      std::memcpy(&e, float_at(y, c + l), sizeof e);
      s = s + e;
    }
  }
  return s;
}

// Softmax's middle step on `rows` (at most V::kWidth) consecutive rows,
// as exponentials_and_sums gives it. Under half a vector of rows, the lanes of the
// sums would be mostly idle and their chain no shorter than one row's, so
// each row goes on its own.
template <class V>
void exponentials_of_rows(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums) {
  if (rows == V::kWidth) {
    exponentials_and_sums<V, true>(x, y, rows, n, m, sums);
  } else if (2 * rows >= V::kWidth) {
    exponentials_and_sums<V, false>(x, y, rows, n, m, sums);
  } else {
    for (uint64_t r = 0; r < rows; ++r)
      sums[r] = exponentials_and_sum<V>(float_at(x, r * n), float_at(y, r * n), n, m[r]);
  }
}

// V::kWidth rows at a time, so that the vector step runs their sums side by
// side.
template <class V>
void softmax_f32(const void* x, void* y, uint64_t rows, uint64_t cols) {
  if (cols == 0) return;
  for (uint64_t r = 0; r < rows; r += V::kWidth) {
    const uint64_t count = smaller(V::kWidth, rows - r);
    float m[V::kWidth], s[V::kWidth];
    for (uint64_t i = 0; i < count; ++i) m[i] = row_max<V>(float_at(x, (r + i) * cols), cols);
    exponentials_of_rows<V>(float_at(x, r * cols), float_at(y, r * cols), count, cols, m, s);
    for (uint64_t i = 0; i < count; ++i) {
      const typename V::Reg sum = V::splat(s[i]);
      unsigned char* out = float_at(y, (r + i) * cols);
      map_vectors<V>(out, out, cols, [&](typename V::Reg v) { return V::with_canonical_nans(V::div(v, sum)); });
    }
  }
}

}  // namespace
}  // namespace qen
