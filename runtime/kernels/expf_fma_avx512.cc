// Softmax's exponentials on 16-float AVX-512 vectors by the roundings of the C
// library's FMA build of expf: the one file of the runtime whose code may
// hold fused multiply-adds (tests/cpp/no_fused_multiply_add.sh).
#include "kernels/expf_simd.h"
#include "kernels/libm_guard.h"
#include "kernels/simd_avx512.h"

namespace qen {

void exponentials_fma_avx512(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums) {
  exponentials_of_rows<Avx512, true>(x, y, rows, n, m, sums);
}

}  // namespace qen
