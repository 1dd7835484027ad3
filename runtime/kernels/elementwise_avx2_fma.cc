// GELU and tanhf on 8-float AVX2 vectors with fused double multiply-adds in
// tanhf; bit for bit the scalar order.
#include "kernels/elementwise_simd.h"
#include "kernels/exp_tanh.h"
#include "kernels/simd_avx2_fma.h"

namespace qen {

void tanhf_f32_avx2_fma(const void* x, void* y, uint64_t n) {
  map_vectors<Avx2Fma>(x, y, n, [](Avx2Fma::Reg v) { return tanhf_vector<Avx2Fma>(v); });
}

void gelu_f32_avx2_fma(const void* x, void* y, uint64_t n) { gelu_f32<Avx2Fma>(x, y, n); }

}  // namespace qen
