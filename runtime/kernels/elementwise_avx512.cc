// ReLU and GELU on 16-float AVX-512 vectors; bit for bit the scalar order.
#include "kernels/elementwise_simd.h"
#include "kernels/libm_guard.h"
#include "kernels/simd_avx512.h"

namespace qen {

void tanhf_f32_avx512(const void* x, void* y, uint64_t n) { map_blocks<Avx512>(x, y, n, tanhf_block<Avx512, kBlockVectors>); }

void relu_f32_avx512(const void* x, void* y, uint64_t n) { relu_f32<Avx512>(x, y, n); }

void gelu_f32_avx512(const void* x, void* y, uint64_t n) {
  static const bool vector_tanhf = tanhf_follows_c_library(tanhf_f32_avx512);
  gelu_f32<Avx512>(x, y, n, vector_tanhf);
}

}  // namespace qen
