// Reference dense layer. One accumulator per output, k ascending, each
// product and sum rounded on its own; the bias is the last addition.
#include "kernels.h"

namespace qen {

void linear_f32_scalar(const LinearArgs& a) {
  for (uint64_t i = 0; i < a.m; ++i) {
    for (uint64_t j = 0; j < a.n; ++j) {
      float acc = 0.0f;
      for (uint64_t k = 0; k < a.k; ++k) acc = acc + load_f32(a.w, j * a.k + k) * load_f32(a.x, i * a.k + k);
      store_f32(a.y, i * a.y_stride + j, with_canonical_nan(acc + load_f32(a.b, j)));
    }
  }
}

}  // namespace qen
