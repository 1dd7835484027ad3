// AVX-512F vector operations on 16 floats, for the kernel files compiled
// with -mavx512f. Everything here and in the shared kernel templates has
// internal linkage, so no code built for this instruction set can be picked
// by the linker for a file built for another one.
#pragma once

// GCC 12's AVX-512 intrinsics start some results from a self-initialised
// placeholder, which -Wmaybe-uninitialized reports at every use (GCC bug
// 105593); the warning is silenced for the intrinsics' own lines only
// (GCC's warnings: clang has no -Wmaybe-uninitialized).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include <cstdint>
#include <cstring>

#include "kernels.h"

namespace qen {
namespace {

struct Avx512 {
  static constexpr uint64_t kWidth = 16;
  using Reg = __m512;
  // Vectors of rows in the dense layer's many-rows tile: one, so that each
  // broadcast weight is a memory operand of its multiply, where Zen 4's
  // separate 512-bit broadcasts cost a fifth of the rate; four where the
  // weight rows are a multiple of 4 KiB apart, since the one-vector tile's 16
  // rows then share one L1 set and evict each other.
  static constexpr uint64_t kRowVectors = 1;
  static constexpr uint64_t kRowVectorsSameSet = 4;
  // Output tiles a single row of x takes at once in the dense layer: one, as
  // its shuffles, not the latency of its adds, bound it on Zen 4, where a
  // second tile ran 25 % behind.
  static constexpr uint64_t kSingleRowTiles = 1;

  static Reg zero() { return _mm512_setzero_ps(); }
  static Reg load(const void* p) { return _mm512_loadu_ps(p); }
  static void store(void* p, Reg v) { _mm512_storeu_ps(p, v); }
  static __mmask16 first(uint64_t count) { return static_cast<__mmask16>((1u << count) - 1u); }
  // Lanes at and past `count` are +0.0; no byte past them is read.
  static Reg load_first(const void* p, uint64_t count) { return _mm512_maskz_loadu_ps(first(count), p); }
  // Writes the first `count` lanes only.
  static void store_first(void* p, Reg v, uint64_t count) { _mm512_mask_storeu_ps(p, first(count), v); }
  // One float from memory in every lane.
  static Reg broadcast(const void* p) {
    float v;
    std::memcpy(&v, p, sizeof v);
    return splat(v);
  }
  static Reg splat(float v) { return _mm512_set1_ps(v); }
  static Reg add(Reg a, Reg b) { return _mm512_add_ps(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm512_mul_ps(a, b); }
  static Reg div(Reg a, Reg b) { return _mm512_div_ps(a, b); }
  // v > 0 ? v : +0.0; a NaN compares false.
  static Reg positive_or_zero(Reg v) {
    return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(v, _mm512_setzero_ps(), _CMP_GT_OQ), v);
  }
  // Lane by lane: b > a ? b : a.
  static Reg keep_greater(Reg a, Reg b) { return _mm512_mask_mov_ps(a, _mm512_cmp_ps_mask(b, a, _CMP_GT_OQ), b); }
  // v, every NaN lane made canonical_nan(); for results about to be stored.
  // One fix-up instruction rather than a compare and a blend, which cost
  // GELU twice as much on Zen 4: its table (a 4-bit answer per class of the
  // lane of v) takes the first operand for quiet and signalling NaNs, v for
  // all else.
  static Reg with_canonical_nans(Reg v) {
    return _mm512_fixupimm_ps(splat(canonical_nan()), v, _mm512_set1_epi32(0x11111100), 0);
  }
  // Lanes `first` and up, moved down to lane 0.
  static Reg lanes_from(Reg v, uint64_t first) {
    return _mm512_permutexvar_ps(
        _mm512_add_epi32(_mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0),
                         _mm512_set1_epi32(static_cast<int>(first))),
        v);
  }
  static float lane(Reg v, uint64_t i) {
    alignas(64) float lanes[kWidth];
    _mm512_store_ps(lanes, v);
    return lanes[i];
  }

  static Reg sub(Reg a, Reg b) { return _mm512_sub_ps(a, b); }

  // For the vector math (exp_tanh_simd.h): lane masks, bits, and the lanes
  // widened to doubles in two parts of eight.
  using Mask = __mmask16;
  // The smaller or larger of a and b; b where a NaN takes part.
  static Reg min(Reg a, Reg b) { return _mm512_min_ps(a, b); }
  static Reg max(Reg a, Reg b) { return _mm512_max_ps(a, b); }
  static Mask is_nan(Reg v) { return _mm512_cmp_ps_mask(v, v, _CMP_UNORD_Q); }
  static Reg select(Mask m, Reg yes, Reg no) { return _mm512_mask_blend_ps(m, no, yes); }
  static Reg bit_and(Reg a, Reg b) { return from_bits(_mm512_and_si512(bits(a), bits(b))); }
  static Reg bit_xor(Reg a, Reg b) { return from_bits(_mm512_xor_si512(bits(a), bits(b))); }
  static __m512i bits(Reg v) { return _mm512_castps_si512(v); }
  static Reg from_bits(__m512i v) { return _mm512_castsi512_ps(v); }

  using Wide = __m512d;
  static constexpr int kParts = 2;
  static Wide widen(Reg v, int part) {
    return _mm512_cvtps_pd(part == 0 ? _mm512_castps512_ps256(v)
                                     : _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)));
  }
  static Reg narrow(const Wide (&parts)[kParts]) {
    const __m512d joined = _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(_mm512_cvtpd_ps(parts[0]))),
                                              _mm256_castps_pd(_mm512_cvtpd_ps(parts[1])), 1);
    return _mm512_castpd_ps(joined);
  }
  static Wide splat_wide(double v) { return _mm512_set1_pd(v); }
  static Wide add(Wide a, Wide b) { return _mm512_add_pd(a, b); }
  static Wide sub(Wide a, Wide b) { return _mm512_sub_pd(a, b); }
  static Wide mul(Wide a, Wide b) { return _mm512_mul_pd(a, b); }
  static Wide div(Wide a, Wide b) { return _mm512_div_pd(a, b); }
  // a b + c rounded once: every AVX-512F CPU has the fused form.
  static Wide mul_add(Wide a, Wide b, Wide c) { return _mm512_fmadd_pd(a, b, c); }
  // Per lane, with k the low 16 bits of v: 2^floor(k / 16) as a double,
  // made from its bits: k / 16 added to 1.0's exponent.
  static Wide power_of_two(Wide v) {
    const __m512i k = _mm512_castpd_si512(v);
    return _mm512_castsi512_pd(
        _mm512_add_epi64(_mm512_slli_epi64(_mm512_srli_epi64(k, 4), 52), _mm512_set1_epi64(0x3ff0000000000000)));
  }
  // Per lane, with k the low 64 bits of v: table[k % 16] + (k << 48), as a double.
  static Wide scale_from_table(Wide v, const uint64_t (&table)[16]) {
    const __m512i k = _mm512_castpd_si512(v);
    const __m512i entry = _mm512_permutex2var_epi64(_mm512_loadu_si512(table), k, _mm512_loadu_si512(table + 8));
    return _mm512_castsi512_pd(_mm512_add_epi64(entry, _mm512_slli_epi64(k, 48)));
  }

  // Per 128-bit block: lanes 0, 1 of a and b interleaved, or lanes 2, 3;
  // then the same for pairs of lanes.
  static Reg interleave_low(Reg a, Reg b) { return _mm512_unpacklo_ps(a, b); }
  static Reg interleave_high(Reg a, Reg b) { return _mm512_unpackhi_ps(a, b); }
  static Reg interleave_low_pairs(Reg a, Reg b) {
    return _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
  }
  static Reg interleave_high_pairs(Reg a, Reg b) {
    return _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
  }
  // Lanes 0 .. 7 from the 32 bytes at low + offset, lanes 8 .. 15 from high
  // + offset: a masked load 32 bytes early, which reads only its unmasked
  // lanes. It merges in a load port where an insert takes a shuffle, which
  // bounds the dense layer's few-rows path on Zen 4 (5 % faster there).
  static Reg load_halves(const unsigned char* low, const unsigned char* high, uint64_t offset) {
    const __m256 lo = _mm256_loadu_ps(reinterpret_cast<const float*>(low + offset));
    return _mm512_mask_loadu_ps(_mm512_castps256_ps512(lo), 0xFF00, reinterpret_cast<const float*>(high + offset) - 8);
  }
  // For each c < 4: blocks 0 and 2 of h[c] and of h[4 + c] into h[c], blocks
  // 1 and 3 into h[4 + c].
  static void join_halves(Reg (&h)[kWidth / 2]) {
    for (int c = 0; c < 4; ++c) {
      const Reg even = _mm512_shuffle_f32x4(h[c], h[4 + c], 0x88);
      h[4 + c] = _mm512_shuffle_f32x4(h[c], h[4 + c], 0xDD);
      h[c] = even;
    }
  }
  // The last step of transpose(): for each c, the 4x4 transpose of the
  // 128-bit blocks of r[c], r[4 + c], r[8 + c], r[12 + c].
  static void transpose_blocks(Reg (&r)[kWidth]) {
    Reg t[kWidth];
    for (int c = 0; c < 4; ++c) {
      const Reg a = _mm512_shuffle_f32x4(r[c], r[4 + c], 0x88), b = _mm512_shuffle_f32x4(r[c], r[4 + c], 0xDD);
      const Reg e = _mm512_shuffle_f32x4(r[8 + c], r[12 + c], 0x88);
      const Reg f = _mm512_shuffle_f32x4(r[8 + c], r[12 + c], 0xDD);
      t[c] = _mm512_shuffle_f32x4(a, e, 0x88);
      t[4 + c] = _mm512_shuffle_f32x4(b, f, 0x88);
      t[8 + c] = _mm512_shuffle_f32x4(a, e, 0xDD);
      t[12 + c] = _mm512_shuffle_f32x4(b, f, 0xDD);
    }
    for (int i = 0; i < 16; ++i) r[i] = t[i];
  }
};

}  // namespace
}  // namespace qen
