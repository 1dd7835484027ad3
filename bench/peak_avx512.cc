// GCC 12 warns inside its own AVX-512 intrinsics (bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include "peak_loops.h"

typedef float Vec16 __attribute__((vector_size(64)));

namespace {

// The mul+add chains of Loops::mul_add, each step one fused instruction.
float fused_mul_add(uint64_t passes) {
  __m512 acc[16];
  for (int i = 0; i < 16; ++i) acc[i] = _mm512_set1_ps(1.0f + static_cast<float>(i) / 64);
  const __m512 m = _mm512_set1_ps(0.999f), a = _mm512_set1_ps(0.001f);
  for (uint64_t p = 0; p < passes; ++p)
    for (auto& v : acc) v = _mm512_fmadd_ps(v, m, a);
  float total = 0.0f;
  for (auto& v : acc) total += _mm512_reduce_add_ps(v);
  return total;
}

}  // namespace

qen_bench::PeakLoops qen_bench::peak_loops_avx512() {
  PeakLoops loops = Loops<Vec16>::table();
  loops.fused_mul_add = fused_mul_add;
  return loops;
}
