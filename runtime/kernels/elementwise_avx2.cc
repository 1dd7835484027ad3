// ReLU and GELU on 8-float AVX2 vectors; bit for bit the scalar order.
#include "kernels/elementwise_simd.h"
#include "kernels/libm_guard.h"
#include "kernels/simd_avx2.h"

namespace qen {

void tanhf_f32_avx2(const void* x, void* y, uint64_t n) { map_blocks<Avx2>(x, y, n, tanhf_block<Avx2, kBlockVectors>); }

void relu_f32_avx2(const void* x, void* y, uint64_t n) { relu_f32<Avx2>(x, y, n); }

void gelu_f32_avx2(const void* x, void* y, uint64_t n) {
  static const bool vector_tanhf = tanhf_follows_c_library(tanhf_f32_avx2);
  gelu_f32<Avx2>(x, y, n, vector_tanhf);
}

}  // namespace qen
