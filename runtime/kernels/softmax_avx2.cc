// Row-wise softmax on 8-float AVX2 vectors; bit for bit the scalar order.
#include "kernels/expf_simd.h"
#include "kernels/softmax_simd.h"
#include "kernels/simd_avx2.h"

namespace qen {

float exponentials_avx2(const void* x, void* y, uint64_t n, float m) {
  return exponentials_and_sum<Avx2, false>(x, y, n, m);
}

void softmax_f32_avx2(const void* x, void* y, uint64_t rows, uint64_t cols) {
  static const Exponentials checked = checked_exponentials(exponentials_fma_avx2, exponentials_avx2);
  softmax_f32<Avx2>(x, y, rows, cols, checked);
}

}  // namespace qen
