// Row-wise softmax and expf on 16-float AVX-512 vectors; bit for bit the scalar order.
#include "kernels/exp_tanh.h"
#include "kernels/simd_avx512.h"
#include "kernels/softmax_simd.h"

namespace qen {

void expf_f32_avx512(const void* x, void* y, uint64_t n) {
  map_vectors<Avx512>(x, y, n, [](Avx512::Reg v) { return expf_vector<Avx512>(v); });
}

void softmax_f32_avx512(const void* x, void* y, uint64_t rows, uint64_t cols) { softmax_f32<Avx512>(x, y, rows, cols); }

}  // namespace qen
