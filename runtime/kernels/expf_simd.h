// expf on every lane of a vector type V (simd_avx512.h, simd_avx2.h), with
// the bits of the C library's expf (glibc 2.36 on x86-64), and the softmax
// step built on it. That expf reduces x in double precision by a table of
// 2^(i/32) and evaluates a degree-3 polynomial; the C library runs one of two
// builds of it, chosen once per process: one compiled with fused
// multiply-adds (CPUs with FMA and AVX2) and a baseline one. kFused picks
// which one's roundings the vector code repeats, step for step. The fused
// form is instantiated only in the expf_fma_*.cc files, the only code of the
// runtime allowed to hold fused multiply-adds.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "kernels/linear_simd.h"

namespace qen {
namespace {

// The C library's constants, as stored in its binary.
struct ExpfConstants {
  static constexpr double kInvLn2N = 0x1.71547652b82fep+5;  // 32 / ln 2
  static constexpr double kShift = 0x1.8p+52;               // rounds to an integer in the low bits
  static constexpr double kC0 = 0x1.c6af84b912394p-20, kC1 = 0x1.ebfce50fac4f3p-13, kC2 = 0x1.62e42ff0c52d6p-6;
  static constexpr float kOverflow = 0x1.62e42ep+6f;    // above: +inf
  static constexpr float kUnderflow = -0x1.9fe368p+6f;  // below: +0
  static constexpr float kTiny = -0x1.9d1d9ep+6f;       // below (down to kUnderflow): 2^-149
  // Bits of 2^(i/32) minus i << 47, so that adding k << 47 also adds k / 32 to the exponent.
  alignas(64) static constexpr uint64_t kTable[32] = {
      0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51, 0x3fef72b83c7d517b,
      0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1, 0x3fef06fe0a31b715, 0x3feef1a7373aa9cb,
      0x3feedea64c123422, 0x3feece086061892d, 0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429,
      0x3feea47eb03a5585, 0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
      0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d, 0x3feee89f995ad3ad,
      0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069, 0x3fef5818dcfba487, 0x3fef7c97337b9b5f,
      0x3fefa4afa2a490da, 0x3fefd0765b6e4540};
};

// a * b + c as the chosen build computes it: fused, or a rounded product
// and a rounded sum.
template <class V, bool kFused>
typename V::Wide multiply_add(typename V::Wide a, typename V::Wide b, typename V::Wide c) {
  if constexpr (kFused) return V::fused_add(a, b, c);
  else return V::add(V::mul(a, b), c);
}

// The main path on lanes widened to double: k = round(x * 32 / ln 2),
// r = x * 32 / ln 2 - k, 2^(k/32) * (1 + C2 r + C1 r^2 + C0 r^3), with the
// polynomial split as the C library evaluates it.
template <class V, bool kFused>
typename V::Wide expf_wide(typename V::Wide x) {
  using C = ExpfConstants;
  const typename V::Wide inv_ln2_n = V::splat_wide(C::kInvLn2N), shift = V::splat_wide(C::kShift);
  typename V::Wide shifted, r;
  if constexpr (kFused) {
    shifted = V::fused_add(inv_ln2_n, x, shift);
    r = V::fused_sub(inv_ln2_n, x, V::sub(shifted, shift));
  } else {
    const typename V::Wide z = V::mul(x, inv_ln2_n);
    shifted = V::add(z, shift);
    r = V::sub(z, V::sub(shifted, shift));
  }
  const typename V::Wide s = V::scale_from_table(shifted, C::kTable);
  const typename V::Wide p = multiply_add<V, kFused>(V::splat_wide(C::kC0), r, V::splat_wide(C::kC1));
  const typename V::Wide q = multiply_add<V, kFused>(V::splat_wide(C::kC2), r, V::splat_wide(1.0));
  return V::mul(multiply_add<V, kFused>(p, V::mul(r, r), q), s);
}

// expf on every lane. The lanes the C library handles apart (|x| >= 88,
// infinities, NaN) go through the main path too and are replaced after;
// between kTiny and kOverflow the main path's result is the C library's.
template <class V, bool kFused>
__attribute__((always_inline)) inline typename V::Reg expf_vector(typename V::Reg x) {
  using C = ExpfConstants;
  typename V::Reg y = V::narrow(expf_wide<V, kFused>(V::wide_low(x)), expf_wide<V, kFused>(V::wide_high(x)));
  if (V::all(V::both(V::at_most(V::splat(C::kTiny), x), V::at_most(x, V::splat(C::kOverflow))))) return y;
  y = V::select(V::less(V::splat(C::kOverflow), x), V::splat(std::numeric_limits<float>::infinity()), y);
  y = V::select(V::less(x, V::splat(C::kTiny)), V::splat(0x1p-149f), y);
  y = V::select(V::less(x, V::splat(C::kUnderflow)), V::zero(), y);
  return V::select(V::is_nan(x), V::add(x, x), y);  // NaN keeps its payload, made quiet
}

// Softmax's middle step on `rows` (at most V::kWidth) consecutive rows of n
// values each (row r at x + r n): y[c] = expf(x[c] - m[r]) along row r, and
// into sums[r] the sum of those values from +0.0 in ascending order. The
// rows' sums run side by side, lane r holding row r's: each block of kWidth
// columns of exponentials is transposed in registers, so that one vector
// addition per column adds that column's value to every row's sum, in the
// same order as one addition after another along the row. Lanes of rows
// past `rows` and of columns past n are computed on zeros and are neither
// stored nor added.
template <class V, bool kFused, bool kAllRows>
void exponentials_and_sums(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums) {
  using Reg = typename V::Reg;
  // Transposed exponentials of the block at column c with `count` columns.
  auto block = [&](uint64_t c, uint64_t count, Reg(&e)[V::kWidth]) {
    for (uint64_t r = 0; r < V::kWidth; ++r) {
      const uint64_t at = r * n + c;
      if (!kAllRows && r >= rows) {
        e[r] = V::zero();
      } else if (count == V::kWidth) {
        e[r] = expf_vector<V, kFused>(V::sub(V::load(float_at(x, at)), V::splat(m[r])));
        V::store(float_at(y, at), e[r]);
      } else {
        e[r] = expf_vector<V, kFused>(V::sub(V::load_first(float_at(x, at), count), V::splat(m[r])));
        V::store_first(float_at(y, at), e[r], count);
      }
    }
    transpose<V>(e);
  };
  Reg s = V::zero();
  uint64_t c = 0;
  for (; c + V::kWidth <= n; c += V::kWidth) {
    Reg e[V::kWidth];
    block(c, V::kWidth, e);
    for (uint64_t j = 0; j < V::kWidth; ++j) s = V::add(s, e[j]);
  }
  if (c < n) {
    Reg e[V::kWidth];
    block(c, n - c, e);
    for (uint64_t j = 0; j < n - c; ++j) s = V::add(s, e[j]);
  }
  for (uint64_t r = 0; r < rows; ++r) sums[r] = V::lane(s, r);
}

// The same for one row, its sum in a scalar, one addition after another;
// the next vectors' exponentials proceed while the additions run.
template <class V, bool kFused>
float exponentials_and_sum(const void* x, void* y, uint64_t n, float m) {
  const typename V::Reg max = V::splat(m);
  float s = 0.0f;
  for (uint64_t c = 0; c < n; c += V::kWidth) {
    const uint64_t count = smaller(V::kWidth, n - c);
    if (count == V::kWidth) V::store(float_at(y, c), expf_vector<V, kFused>(V::sub(V::load(float_at(x, c)), max)));
    else V::store_first(float_at(y, c), expf_vector<V, kFused>(V::sub(V::load_first(float_at(x, c), count), max)), count);
    for (uint64_t l = 0; l < count; ++l) {
      float e;
      std::memcpy(&e, float_at(y, c + l), sizeof e);
      s = s + e;
    }
  }
  return s;
}

// The same as Exponentials. Under half a vector of rows, the lanes of the
// sums would be mostly idle and their chain no shorter than one row's, so
// each row goes on its own.
template <class V, bool kFused>
void exponentials_of_rows(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums) {
  if (rows == V::kWidth) {
    exponentials_and_sums<V, kFused, true>(x, y, rows, n, m, sums);
  } else if (2 * rows >= V::kWidth) {
    exponentials_and_sums<V, kFused, false>(x, y, rows, n, m, sums);
  } else {
    for (uint64_t r = 0; r < rows; ++r) sums[r] = exponentials_and_sum<V, kFused>(float_at(x, r * n), float_at(y, r * n), n, m[r]);
  }
}

}  // namespace
}  // namespace qen
