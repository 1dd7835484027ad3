// Row-wise softmax on 16-float AVX-512 vectors; bit for bit the scalar order.
#include "kernels/expf_simd.h"
#include "kernels/softmax_simd.h"
#include "kernels/simd_avx512.h"

namespace qen {

void exponentials_avx512(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums) {
  exponentials_of_rows<Avx512, false>(x, y, rows, n, m, sums);
}

void softmax_f32_avx512(const void* x, void* y, uint64_t rows, uint64_t cols) {
  static const Exponentials checked = checked_exponentials(exponentials_fma_avx512, exponentials_avx512);
  softmax_f32<Avx512>(x, y, rows, cols, checked);
}

}  // namespace qen
