// ReLU and GELU on 8-float AVX2 vectors; bit for bit the scalar order.
#include "kernels/elementwise_simd.h"
#include "kernels/simd_avx2.h"

namespace qen {

void relu_f32_avx2(const void* x, void* y, uint64_t n) { relu_f32<Avx2>(x, y, n); }
void gelu_f32_avx2(const void* x, void* y, uint64_t n) { gelu_f32<Avx2>(x, y, n); }

}  // namespace qen
