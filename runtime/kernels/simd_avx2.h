// AVX2 vector operations on 8 floats, for the kernel files compiled with
// -mavx2 (no FMA; simd_avx2_fma.h adds the fused forms for the expf and
// tanhf of CPUs that have it). Everything here and in the shared kernel
// templates has internal linkage, so no code built for this instruction set
// can be picked by the linker for a file built for another one.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "kernels.h"

namespace qen {
namespace {

struct Avx2 {
  static constexpr uint64_t kWidth = 8;
  using Reg = __m256;
  // Vectors of rows in the dense layer's many-rows tile, whatever the
  // distance between weight rows.
  static constexpr uint64_t kRowVectors = 2;
  static constexpr uint64_t kRowVectorsSameSet = 2;
  // Output tiles a single row of x takes at once in the dense layer: two, so
  // that a second chain of adds runs while the first waits on its latency
  // (12 % faster on Zen 4 at batch 1).
  static constexpr uint64_t kSingleRowTiles = 2;

  static Reg zero() { return _mm256_setzero_ps(); }
  static Reg load(const void* p) { return _mm256_loadu_ps(static_cast<const float*>(p)); }
  static void store(void* p, Reg v) { _mm256_storeu_ps(static_cast<float*>(p), v); }
  static __m256i first(uint64_t count) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  }
  // Lanes at and past `count` are +0.0; no byte past them is read.
  static Reg load_first(const void* p, uint64_t count) {
    return _mm256_maskload_ps(static_cast<const float*>(p), first(count));
  }
  // Writes the first `count` lanes only.
  static void store_first(void* p, Reg v, uint64_t count) {
    _mm256_maskstore_ps(static_cast<float*>(p), first(count), v);
  }
  // One float from memory in every lane; a load-port broadcast. Copied out
  // first, since weights in the mapped file need not be 4-byte aligned.
  static Reg broadcast(const void* p) {
    float v;
    __builtin_memcpy(&v, p, sizeof v);
    return _mm256_set1_ps(v);
  }
  static Reg splat(float v) { return _mm256_set1_ps(v); }
  static Reg add(Reg a, Reg b) { return _mm256_add_ps(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm256_mul_ps(a, b); }
  static Reg div(Reg a, Reg b) { return _mm256_div_ps(a, b); }
  // v > 0 ? v : +0.0; a NaN compares false.
  static Reg positive_or_zero(Reg v) { return _mm256_and_ps(_mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GT_OQ), v); }
  // Lane by lane: b > a ? b : a.
  static Reg keep_greater(Reg a, Reg b) { return _mm256_blendv_ps(a, b, _mm256_cmp_ps(b, a, _CMP_GT_OQ)); }
  // v, every NaN lane made canonical_nan(); for results about to be stored.
  static Reg with_canonical_nans(Reg v) {
    return _mm256_blendv_ps(v, splat(canonical_nan()), _mm256_cmp_ps(v, v, _CMP_UNORD_Q));
  }
  // Lanes `first` and up, moved down to lane 0.
  static Reg lanes_from(Reg v, uint64_t first) {
    return _mm256_permutevar8x32_ps(
        v, _mm256_add_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(static_cast<int>(first))));
  }
  static float lane(Reg v, uint64_t i) {
    alignas(32) float lanes[kWidth];
    _mm256_store_ps(lanes, v);
    return lanes[i];
  }

  static Reg sub(Reg a, Reg b) { return _mm256_sub_ps(a, b); }

  // For the vector math (exp_tanh_simd.h): lane masks, bits, and the lanes
  // widened to doubles in two parts of four.
  using Mask = __m256;  // all bits set in a lane where true
  // The smaller or larger of a and b; b where a NaN takes part.
  static Reg min(Reg a, Reg b) { return _mm256_min_ps(a, b); }
  static Reg max(Reg a, Reg b) { return _mm256_max_ps(a, b); }
  static Mask is_nan(Reg v) { return _mm256_cmp_ps(v, v, _CMP_UNORD_Q); }
  static Reg select(Mask m, Reg yes, Reg no) { return _mm256_blendv_ps(no, yes, m); }
  static Reg bit_and(Reg a, Reg b) { return _mm256_and_ps(a, b); }
  static Reg bit_xor(Reg a, Reg b) { return _mm256_xor_ps(a, b); }

  using Wide = __m256d;
  static constexpr int kParts = 2;
  static Wide widen(Reg v, int part) {
    return _mm256_cvtps_pd(part == 0 ? _mm256_castps256_ps128(v) : _mm256_extractf128_ps(v, 1));
  }
  static Reg narrow(const Wide (&parts)[kParts]) {
    return _mm256_set_m128(_mm256_cvtpd_ps(parts[1]), _mm256_cvtpd_ps(parts[0]));
  }
  static Wide splat_wide(double v) { return _mm256_set1_pd(v); }
  static Wide add(Wide a, Wide b) { return _mm256_add_pd(a, b); }
  static Wide sub(Wide a, Wide b) { return _mm256_sub_pd(a, b); }
  static Wide mul(Wide a, Wide b) { return _mm256_mul_pd(a, b); }
  static Wide div(Wide a, Wide b) { return _mm256_div_pd(a, b); }
  // a b + c, rounded twice, for CPUs without FMA.
  static Wide mul_add(Wide a, Wide b, Wide c) { return _mm256_add_pd(_mm256_mul_pd(a, b), c); }
  // Per lane, with k the low 16 bits of v: 2^floor(k / 16) as a double,
  // made from its bits: k / 16 added to 1.0's exponent.
  static Wide power_of_two(Wide v) {
    const __m256i k = _mm256_castpd_si256(v);
    return _mm256_castsi256_pd(
        _mm256_add_epi64(_mm256_slli_epi64(_mm256_srli_epi64(k, 4), 52), _mm256_set1_epi64x(0x3ff0000000000000)));
  }
  // Per lane, with k the low 64 bits of v: table[k % 16] + (k << 48), as a
  // double. The four entries are read one by one: on AMD's Zen 3 that takes
  // less time than a 64-bit gather (softmax about 6% faster).
  static Wide scale_from_table(Wide v, const uint64_t (&table)[16]) {
    const __m256i k = _mm256_castpd_si256(v);
    const __m256i index = _mm256_and_si256(k, _mm256_set1_epi64x(15));
    const __m128i low = _mm256_castsi256_si128(index), high = _mm256_extracti128_si256(index, 1);
    const __m128i e01 = _mm_set_epi64x(static_cast<long long>(table[_mm_extract_epi64(low, 1)]),
                                       static_cast<long long>(table[_mm_cvtsi128_si64(low)]));
    const __m128i e23 = _mm_set_epi64x(static_cast<long long>(table[_mm_extract_epi64(high, 1)]),
                                       static_cast<long long>(table[_mm_cvtsi128_si64(high)]));
    const __m256i entry = _mm256_inserti128_si256(_mm256_castsi128_si256(e01), e23, 1);
    return _mm256_castsi256_pd(_mm256_add_epi64(entry, _mm256_slli_epi64(k, 48)));
  }

  // Per 128-bit half: lanes 0, 1 of a and b interleaved, or lanes 2, 3;
  // then the same for pairs of lanes.
  static Reg interleave_low(Reg a, Reg b) { return _mm256_unpacklo_ps(a, b); }
  static Reg interleave_high(Reg a, Reg b) { return _mm256_unpackhi_ps(a, b); }
  static Reg interleave_low_pairs(Reg a, Reg b) {
    return _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
  }
  static Reg interleave_high_pairs(Reg a, Reg b) {
    return _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
  }
  // Lanes 0 .. 3 from the 16 bytes at low + offset, lanes 4 .. 7 from high + offset.
  static Reg load_halves(const unsigned char* low, const unsigned char* high, uint64_t offset) {
    return _mm256_loadu2_m128(reinterpret_cast<const float*>(high + offset),
                              reinterpret_cast<const float*>(low + offset));
  }
  // Half-vector loads of four rows already leave every column whole.
  static void join_halves(Reg (&)[kWidth / 2]) {}
  // The last step of transpose(): for each c, the 2x2 transpose of the
  // 128-bit halves of r[c] and r[4 + c].
  static void transpose_blocks(Reg (&r)[kWidth]) {
    for (int c = 0; c < 4; ++c) {
      const Reg low = _mm256_permute2f128_ps(r[c], r[4 + c], 0x20);
      r[4 + c] = _mm256_permute2f128_ps(r[c], r[4 + c], 0x31);
      r[c] = low;
    }
  }
};

}  // namespace
}  // namespace qen
