// Row-wise softmax and expf on 8-float AVX2 vectors; bit for bit the scalar order.
#include "kernels/exp_tanh.h"
#include "kernels/simd_avx2.h"
#include "kernels/softmax_simd.h"

namespace qen {

void expf_f32_avx2(const void* x, void* y, uint64_t n) {
  map_vectors<Avx2>(x, y, n, [](Avx2::Reg v) { return expf_vector<Avx2>(v); });
}

void softmax_f32_avx2(const void* x, void* y, uint64_t rows, uint64_t cols) { softmax_f32<Avx2>(x, y, rows, cols); }

}  // namespace qen
