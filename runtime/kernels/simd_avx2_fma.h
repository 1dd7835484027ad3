// AVX2 vector operations with fused double multiply-adds, for the GELU and
// softmax files compiled with -mavx2 -mfma: the operations of simd_avx2.h,
// but the correctly rounded expf and tanhf (exp_tanh_simd.h) round each
// multiply-add once and read their table with one gather. Single-precision
// operations stay separate multiplies and adds, as everywhere.
#pragma once

#include "kernels/simd_avx2.h"

namespace qen {
namespace {

struct Avx2Fma : Avx2 {
  // a b + c rounded once.
  static Wide mul_add(Wide a, Wide b, Wide c) { return _mm256_fmadd_pd(a, b, c); }
  // Per lane, with k the low 64 bits of v: table[k % 16] + (k << 48), as a
  // double; the four entries in one gather, which on Zen 4 ran softmax
  // about a fifth faster than four reads.
  static Wide scale_from_table(Wide v, const uint64_t (&table)[16]) {
    const __m256i k = _mm256_castpd_si256(v);
    const __m256i index = _mm256_and_si256(k, _mm256_set1_epi64x(15));
    const __m256i entry = _mm256_i64gather_epi64(reinterpret_cast<const long long*>(table), index, 8);
    return _mm256_castsi256_pd(_mm256_add_epi64(entry, _mm256_slli_epi64(k, 48)));
  }
};

}  // namespace
}  // namespace qen
