// ReLU and GELU on 4-float NEON vectors; bit for bit the scalar order.
#include "kernels/elementwise_simd.h"
#include "kernels/simd_neon.h"

namespace qen {

void relu_f32_neon(const void* x, void* y, uint64_t n) { relu_f32<Neon>(x, y, n); }

// tanhf from the C library, per element, as the reference takes it.
void gelu_f32_neon(const void* x, void* y, uint64_t n) { gelu_f32<Neon>(x, y, n, false); }

}  // namespace qen
