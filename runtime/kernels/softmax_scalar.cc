// Reference row-wise softmax. The row maximum is subtracted first so that
// large inputs do not overflow; the sum adds in ascending column order.
#include "kernels.h"
#include "kernels/exp_tanh.h"

namespace qen {

void softmax_f32_scalar(const void* x, void* y, uint64_t rows, uint64_t cols) {
  if (cols == 0) return;
  for (uint64_t r = 0; r < rows; ++r) {
    const uint64_t row = r * cols;
    // Only a strictly greater value replaces m, so a NaN never does and a
    // NaN in the first column stays the maximum.
    float m = load_f32(x, row);
    for (uint64_t c = 1; c < cols; ++c) {
      const float v = load_f32(x, row + c);
      if (v > m) m = v;
    }
    float s = 0.0f;
    for (uint64_t c = 0; c < cols; ++c) {
      const float e = expf_correctly_rounded(load_f32(x, row + c) - m);
      store_f32(y, row + c, e);
      s = s + e;
    }
    for (uint64_t c = 0; c < cols; ++c) store_f32(y, row + c, with_canonical_nan(load_f32(y, row + c) / s));
  }
}

}  // namespace qen
