// Reference elementwise kernels: ReLU and the tanh approximation of GELU.
#include "kernels.h"
#include "kernels/exp_tanh.h"

namespace qen {

void relu_f32_scalar(const void* x, void* y, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    const float v = load_f32(x, i);
    store_f32(y, i, v > 0.0f ? v : 0.0f);
  }
}

void gelu_f32_scalar(const void* x, void* y, uint64_t n) {
  constexpr float kCubic = 0.044715f;         // bits 0x3D372713
  constexpr float kSqrt2OverPi = 0.7978846f;  // bits 0x3F4C422A
  for (uint64_t i = 0; i < n; ++i) {
    const float v = load_f32(x, i);
    // Every step is its own rounded operation, in this order.
    float t = v * v;
    t = t * v;
    t = t * kCubic;
    t = t + v;
    t = t * kSqrt2OverPi;
    t = tanhf_correctly_rounded(t);
    t = t + 1.0f;
    const float u = v * 0.5f;
    store_f32(y, i, with_canonical_nan(t * u));
  }
}

}  // namespace qen
