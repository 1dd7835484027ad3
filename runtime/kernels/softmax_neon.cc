// Row-wise softmax and expf on 4-float NEON vectors; bit for bit the scalar order.
#include "kernels/exp_tanh.h"
#include "kernels/simd_neon.h"
#include "kernels/softmax_simd.h"

namespace qen {

void expf_f32_neon(const void* x, void* y, uint64_t n) {
  map_vectors<Neon>(x, y, n, [](Neon::Reg v) { return expf_vector<Neon>(v); });
}

void softmax_f32_neon(const void* x, void* y, uint64_t rows, uint64_t cols) { softmax_f32<Neon>(x, y, rows, cols); }

}  // namespace qen
