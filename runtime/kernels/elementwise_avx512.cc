// ReLU, GELU and tanhf on 16-float AVX-512 vectors; bit for bit the scalar order.
#include "kernels/elementwise_simd.h"
#include "kernels/exp_tanh.h"
#include "kernels/simd_avx512.h"

namespace qen {

void tanhf_f32_avx512(const void* x, void* y, uint64_t n) {
  map_vectors<Avx512>(x, y, n, [](Avx512::Reg v) { return tanhf_vector<Avx512>(v); });
}

void relu_f32_avx512(const void* x, void* y, uint64_t n) { relu_f32<Avx512>(x, y, n); }

void gelu_f32_avx512(const void* x, void* y, uint64_t n) { gelu_f32<Avx512>(x, y, n); }

}  // namespace qen
