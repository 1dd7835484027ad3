// Row-wise softmax on 8-float AVX2 vectors; bit for bit the scalar order.
#include "kernels/softmax_simd.h"
#include "kernels/simd_avx2.h"

namespace qen {

void softmax_f32_avx2(const void* x, void* y, uint64_t rows, uint64_t cols) { softmax_f32<Avx2>(x, y, rows, cols); }

}  // namespace qen
