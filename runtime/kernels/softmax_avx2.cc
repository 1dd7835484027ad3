// Row-wise softmax on 8-float AVX2 vectors; bit for bit the scalar order.
#include "kernels/expf_simd.h"
#include "kernels/softmax_simd.h"
#include "kernels/simd_avx2.h"

namespace qen {

void exponentials_avx2(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums) {
  exponentials_of_rows<Avx2, false>(x, y, rows, n, m, sums);
}

void softmax_f32_avx2(const void* x, void* y, uint64_t rows, uint64_t cols) {
  static const Exponentials checked = checked_exponentials(exponentials_fma_avx2, exponentials_avx2);
  softmax_f32<Avx2>(x, y, rows, cols, checked);
}

}  // namespace qen
