// ReLU, GELU and tanhf on 4-float NEON vectors; bit for bit the scalar order.
#include "kernels/elementwise_simd.h"
#include "kernels/exp_tanh.h"
#include "kernels/simd_neon.h"

namespace qen {

void tanhf_f32_neon(const void* x, void* y, uint64_t n) {
  map_vectors<Neon>(x, y, n, [](Neon::Reg v) { return tanhf_vector<Neon>(v); });
}

void relu_f32_neon(const void* x, void* y, uint64_t n) { relu_f32<Neon>(x, y, n); }

void gelu_f32_neon(const void* x, void* y, uint64_t n) { gelu_f32<Neon>(x, y, n); }

}  // namespace qen
