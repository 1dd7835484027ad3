// Softmax's exponentials on 8-float AVX2 vectors by the roundings of the C
// library's FMA build of expf: the one file of the runtime whose code may
// hold fused multiply-adds (tests/cpp/no_fused_multiply_add.sh).
#include "kernels/expf_simd.h"
#include "kernels/libm_guard.h"
#include "kernels/simd_avx2.h"

namespace qen {

void exponentials_fma_avx2(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums) {
  exponentials_of_rows<Avx2, true>(x, y, rows, n, m, sums);
}

}  // namespace qen
