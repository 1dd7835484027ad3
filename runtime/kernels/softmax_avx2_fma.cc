// Row-wise softmax and expf on 8-float AVX2 vectors with fused double
// multiply-adds in expf; bit for bit the scalar order.
#include "kernels/exp_tanh.h"
#include "kernels/simd_avx2_fma.h"
#include "kernels/softmax_simd.h"

namespace qen {

void expf_f32_avx2_fma(const void* x, void* y, uint64_t n) {
  map_vectors<Avx2Fma>(x, y, n, [](Avx2Fma::Reg v) { return expf_vector<Avx2Fma>(v); });
}

void softmax_f32_avx2_fma(const void* x, void* y, uint64_t rows, uint64_t cols) {
  softmax_f32<Avx2Fma>(x, y, rows, cols);
}

}  // namespace qen
