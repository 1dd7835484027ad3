// Elementwise kernels and the shared vector loop for a vector type V
// (simd_avx512.h, simd_avx2.h). Each element is computed on its own in the
// scalar reference's order of operations, so vectors change no bit; GELU's
// tanhf is the vector one of tanhf_simd.h where libm_guard.h allows it.
#pragma once

#include <math.h>

#include <cstdint>

#include "kernels/linear_simd.h"
#include "kernels/tanhf_simd.h"

namespace qen {
namespace {

// y[i] = op(x[i]) for i < n, whole vectors first, then one masked vector
// that reads and writes nothing past n.
template <class V, class Op>
void map_vectors(const void* x, void* y, uint64_t n, Op op) {
  uint64_t i = 0;
  for (; i + V::kWidth <= n; i += V::kWidth) V::store(float_at(y, i), op(V::load(float_at(x, i))));
  if (i < n) V::store_first(float_at(y, i), op(V::load_first(float_at(x, i), n - i)), n - i);
}

// The same in blocks of kBlockVectors vectors, for math whose steps each run
// over a whole block: block(v) maps the array v in place. In the last block
// the lanes at and past n are +0.0, and they are not stored.
constexpr uint64_t kBlockVectors = 16;

template <class V, class Block>
void map_blocks(const void* x, void* y, uint64_t n, Block block) {
  typename V::Reg v[kBlockVectors];
  for (uint64_t i0 = 0; i0 < n; i0 += kBlockVectors * V::kWidth) {
    const uint64_t count = smaller(kBlockVectors * V::kWidth, n - i0);
    for (uint64_t j = 0; j < kBlockVectors; ++j) {
      const uint64_t at = j * V::kWidth;
      v[j] = at + V::kWidth <= count ? V::load(float_at(x, i0 + at))
             : at < count            ? V::load_first(float_at(x, i0 + at), count - at)
                                     : V::zero();
    }
    block(v);
    for (uint64_t j = 0; j < kBlockVectors && j * V::kWidth < count; ++j) {
      const uint64_t at = j * V::kWidth;
      if (at + V::kWidth <= count) V::store(float_at(y, i0 + at), v[j]);
      else V::store_first(float_at(y, i0 + at), v[j], count - at);
    }
  }
}

template <class V>
void relu_f32(const void* x, void* y, uint64_t n) {
  map_vectors<V>(x, y, n, [](typename V::Reg v) { return V::positive_or_zero(v); });
}

// The tanh approximation's steps before and after the hyperbolic tangent,
// in the reference's order.
template <class V>
typename V::Reg gelu_argument(typename V::Reg v) {
  typename V::Reg s = V::mul(v, v);
  s = V::mul(s, v);
  s = V::mul(s, V::splat(0.044715f));
  s = V::add(s, v);
  return V::mul(s, V::splat(0.7978846f));
}

template <class V>
typename V::Reg gelu_finish(typename V::Reg v, typename V::Reg tanh) {
  return V::mul(V::add(tanh, V::splat(1.0f)), V::mul(v, V::splat(0.5f)));
}

// With `vector_tanhf` (which the C library check allows), all in vectors.
// Otherwise in blocks: the arithmetic in vectors, tanhf itself from the C
// library, one element at a time, as in the reference.
template <class V>
void gelu_f32(const void* x, void* y, uint64_t n, bool vector_tanhf) {
  using Reg = typename V::Reg;
  if (vector_tanhf) {
    map_blocks<V>(x, y, n, [](Reg(&v)[kBlockVectors]) {
      Reg t[kBlockVectors];
      for (uint64_t j = 0; j < kBlockVectors; ++j) t[j] = gelu_argument<V>(v[j]);
      tanhf_block<V>(t);
      for (uint64_t j = 0; j < kBlockVectors; ++j) v[j] = gelu_finish<V>(v[j], t[j]);
    });
    return;
  }
  constexpr uint64_t kBlock = 256;
  alignas(64) float t[kBlock];
  for (uint64_t i0 = 0; i0 < n; i0 += kBlock) {
    const uint64_t count = smaller(kBlock, n - i0);
    map_vectors<V>(float_at(x, i0), t, count, gelu_argument<V>);
    for (uint64_t i = 0; i < count; ++i) t[i] = tanhf(t[i]);
    uint64_t i = 0;
    for (; i + V::kWidth <= count; i += V::kWidth)
      V::store(float_at(y, i0 + i), gelu_finish<V>(V::load(float_at(x, i0 + i)), V::load(t + i)));
    if (i < count)
      V::store_first(float_at(y, i0 + i),
                     gelu_finish<V>(V::load_first(float_at(x, i0 + i), count - i), V::load_first(t + i, count - i)),
                     count - i);
  }
}

}  // namespace
}  // namespace qen
