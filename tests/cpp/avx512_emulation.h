// Force-included (-include) into the AVX-512 kernel files of a build with
// -DQEN_EMULATE_AVX512=ON: the AVX-512 intrinsics they use are computed by
// SIMDe in AVX2 and FMA instructions, so that the AVX-512 code runs, and is
// tested, on CPUs without AVX-512. The few intrinsics SIMDe lacks are
// defined below the same way, on the two 256-bit halves; masked loads and
// stores use AVX2's, which touch no memory of a masked-off lane.
#pragma once

#if !defined(__AVX2__) || !defined(__FMA__)
#error "the AVX-512 emulation is built with -mavx2 -mfma"
#endif

#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

namespace qen::emulation {

// Per-lane masks of AVX2's masked moves for the low and high 8 lanes of k.
inline simde__m256i lanes_of(simde__mmask16 k, int half) {
  const simde__m256i bit = simde_mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  const simde__m256i mask = simde_mm256_set1_epi32((k >> (8 * half)) & 0xff);
  return simde_mm256_cmpeq_epi32(simde_mm256_and_si256(mask, bit), bit);
}

inline simde__m512 maskz_loadu_ps(simde__mmask16 k, const void* p) {
  simde__m512_private r;
  for (int h = 0; h < 2; ++h) r.m256[h] = simde_mm256_maskload_ps(static_cast<const float*>(p) + 8 * h, lanes_of(k, h));
  return simde__m512_from_private(r);
}

// src where a lane of k is clear.
inline simde__m512 mask_loadu_ps(simde__m512 src, simde__mmask16 k, const void* p) {
  simde__m512_private r = simde__m512_to_private(src);
  for (int h = 0; h < 2; ++h) {
    const simde__m256i lanes = lanes_of(k, h);
    r.m256[h] = simde_mm256_blendv_ps(r.m256[h], simde_mm256_maskload_ps(static_cast<const float*>(p) + 8 * h, lanes),
                                      simde_mm256_castsi256_ps(lanes));
  }
  return simde__m512_from_private(r);
}

inline void mask_storeu_ps(void* p, simde__mmask16 k, simde__m512 v) {
  const simde__m512_private a = simde__m512_to_private(v);
  for (int h = 0; h < 2; ++h) simde_mm256_maskstore_ps(static_cast<float*>(p) + 8 * h, lanes_of(k, h), a.m256[h]);
}

inline simde__m512 cvtepi32_ps(simde__m512i v) {
  const simde__m512i_private a = simde__m512i_to_private(v);
  simde__m512_private r;
  for (int h = 0; h < 2; ++h) r.m256[h] = simde_mm256_cvtepi32_ps(a.m256i[h]);
  return simde__m512_from_private(r);
}

inline simde__m512i cvttps_epi32(simde__m512 v) {
  const simde__m512_private a = simde__m512_to_private(v);
  simde__m512i_private r;
  for (int h = 0; h < 2; ++h) r.m256i[h] = simde_mm256_cvttps_epi32(a.m256[h]);
  return simde__m512i_from_private(r);
}

inline simde__m512d cvtps_pd(simde__m256 v) {
  simde__m512d_private r;
  r.m256d[0] = simde_mm256_cvtps_pd(simde_mm256_castps256_ps128(v));
  r.m256d[1] = simde_mm256_cvtps_pd(simde_mm256_extractf128_ps(v, 1));
  return simde__m512d_from_private(r);
}

inline simde__m256 cvtpd_ps(simde__m512d v) {
  const simde__m512d_private a = simde__m512d_to_private(v);
  return simde_mm256_set_m128(simde_mm256_cvtpd_ps(a.m256d[1]), simde_mm256_cvtpd_ps(a.m256d[0]));
}

}  // namespace qen::emulation

#define _mm512_maskz_loadu_ps(k, p) qen::emulation::maskz_loadu_ps(k, p)
#define _mm512_mask_loadu_ps(src, k, p) qen::emulation::mask_loadu_ps(src, k, p)
#define _mm512_mask_storeu_ps(p, k, v) qen::emulation::mask_storeu_ps(p, k, v)
#define _mm512_cvtepi32_ps(v) qen::emulation::cvtepi32_ps(v)
#define _mm512_cvttps_epi32(v) qen::emulation::cvttps_epi32(v)
#define _mm512_cvtps_pd(v) qen::emulation::cvtps_pd(v)
#define _mm512_cvtpd_ps(v) qen::emulation::cvtpd_ps(v)
#define _mm512_shuffle_f32x4(a, b, imm) simde_mm512_shuffle_f32x4(a, b, imm)
