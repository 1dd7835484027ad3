// Elementwise kernels and the shared vector loop for a vector type V
// (simd_avx512.h, simd_avx2.h). Each element is computed on its own in the
// scalar reference's order of operations, so vectors change no bit; GELU's
// tanhf is the correctly rounded one of exp_tanh_simd.h, as in the reference.
#pragma once

#include <cstdint>

#include "kernels/exp_tanh_simd.h"
#include "kernels/linear_simd.h"

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

template <class V>
void gelu_f32(const void* x, void* y, uint64_t n) {
  map_vectors<V>(x, y, n, [](typename V::Reg v) {
    return V::with_canonical_nans(gelu_finish<V>(v, tanhf_vector<V>(gelu_argument<V>(v))));
  });
}

}  // namespace
}  // namespace qen
