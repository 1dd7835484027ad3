// Row-wise softmax on 4-float NEON vectors; bit for bit the scalar order.
#include "kernels/softmax_simd.h"
#include "kernels/simd_neon.h"

namespace qen {

// expf from the C library, per element, as the reference takes it.
void softmax_f32_neon(const void* x, void* y, uint64_t rows, uint64_t cols) {
  softmax_f32<Neon>(x, y, rows, cols, nullptr);
}

}  // namespace qen
