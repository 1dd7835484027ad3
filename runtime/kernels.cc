#include "kernels.h"

#include <cstdio>
#include <stdexcept>

#include "cpu_features.h"

namespace qen {
namespace {

bool always() { return true; }

void require_fp32(const TensorView& t) {
  if (t.dtype != DType::FP32) throw std::runtime_error("Only FP32 supported");
}

bool has_shape(const TensorView& t, uint32_t rows, uint32_t cols) {
  return t.shape.size() == 2 && t.shape[0] == rows && t.shape[1] == cols;
}

}  // namespace

const std::vector<KernelVariant>& kernel_variants() {
  static const std::vector<KernelVariant> variants{
#ifdef QEN_X86_KERNELS
      {"avx512", cpu_has_avx512f, linear_f32_avx512, relu_f32_avx512, gelu_f32_avx512, softmax_f32_avx512},
      {"avx2", cpu_has_avx2, linear_f32_avx2, relu_f32_avx2, gelu_f32_avx2, softmax_f32_avx2},
#endif
      {"scalar", always, linear_f32_scalar, relu_f32_scalar, gelu_f32_scalar, softmax_f32_scalar}};
  return variants;
}

const KernelVariant& active_kernels() {
  static const KernelVariant& chosen = []() -> const KernelVariant& {
    for (const KernelVariant& variant : kernel_variants())
      if (variant.supported()) return variant;
    return kernel_variants().back();
  }();
  return chosen;
}

void linear(const TensorView& x, const TensorView& w, const TensorView& b, TensorView& y) {
  if (x.shape.size() != 2 || w.shape.size() != 2) throw std::runtime_error("Linear expects 2D tensors");
  const uint32_t m = x.shape[0], k = x.shape[1], n = w.shape[0], wk = w.shape[1];
  if (wk != k) {
    char message[256];
    std::snprintf(message, sizeof message,
                  "Shape mismatch in linear: input=[%u,%u], weight=[%u,%u], expected weight=[%u,%u]", m, k, n,
                  wk, n, k);
    throw std::runtime_error(message);
  }
  require_fp32(x);
  require_fp32(w);
  require_fp32(b);
  // The kernel reads N bias values and writes M*N outputs; both must exist.
  if (b.element_count() < n) throw std::runtime_error("Linear bias has fewer elements than the weight has rows");
  if (y.dtype != DType::FP32 || !has_shape(y, m, n)) throw std::runtime_error("Linear output must be FP32 [M, N]");
  active_kernels().linear(LinearArgs{x.data, w.data, b.data, y.data, m, n, k});
}

void softmax(const TensorView& x, TensorView& y) {
  require_fp32(x);
  if (x.shape.size() != 2) throw std::runtime_error("Softmax only supports 2D tensors");
  if (y.dtype != DType::FP32 || !has_shape(y, x.shape[0], x.shape[1]))
    throw std::runtime_error("Softmax output must be FP32 of the input's shape");
  active_kernels().softmax(x.data, y.data, x.shape[0], x.shape[1]);
}

void relu(const void* x, void* y, uint64_t n) { active_kernels().relu(x, y, n); }

void gelu(const void* x, void* y, uint64_t n) { active_kernels().gelu(x, y, n); }

}  // namespace qen
