// ReLU, GELU and tanhf on 8-float AVX2 vectors; bit for bit the scalar order.
#include "kernels/elementwise_simd.h"
#include "kernels/exp_tanh.h"
#include "kernels/simd_avx2.h"

namespace qen {

void tanhf_f32_avx2(const void* x, void* y, uint64_t n) {
  map_vectors<Avx2>(x, y, n, [](Avx2::Reg v) { return tanhf_vector<Avx2>(v); });
}

void relu_f32_avx2(const void* x, void* y, uint64_t n) { relu_f32<Avx2>(x, y, n); }

void gelu_f32_avx2(const void* x, void* y, uint64_t n) { gelu_f32<Avx2>(x, y, n); }

}  // namespace qen
