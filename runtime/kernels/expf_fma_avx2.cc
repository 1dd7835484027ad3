// Softmax's exponentials on 8-float AVX2 vectors by the roundings of the C
// library's FMA build of expf: the one file of the runtime whose code may
// hold fused multiply-adds (tests/cpp/no_fused_multiply_add.sh).
#include "kernels/expf_simd.h"
#include "kernels/libm_guard.h"
#include "kernels/simd_avx2.h"

namespace qen {

float exponentials_fma_avx2(const void* x, void* y, uint64_t n, float m) {
  return exponentials_and_sum<Avx2, true>(x, y, n, m);
}

}  // namespace qen
