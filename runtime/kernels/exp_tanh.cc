#include "kernels/exp_tanh.h"

#include "kernels.h"
#include "kernels/exp_tanh_simd.h"
#include "kernels/simd_scalar.h"

namespace qen {

float expf_correctly_rounded(float x) { return expf_vector<Scalar>(x); }

float tanhf_correctly_rounded(float x) { return tanhf_vector<Scalar>(x); }

void expf_f32_scalar(const void* x, void* y, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) store_f32(y, i, expf_vector<Scalar>(load_f32(x, i)));
}

void tanhf_f32_scalar(const void* x, void* y, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) store_f32(y, i, tanhf_vector<Scalar>(load_f32(x, i)));
}

const std::vector<ExpTanhVariant>& exp_tanh_variants() {
  static const std::vector<ExpTanhVariant> variants{
#ifdef QEN_X86_KERNELS
      {"avx512", expf_f32_avx512, tanhf_f32_avx512},
      {"avx2_fma", expf_f32_avx2_fma, tanhf_f32_avx2_fma},
      {"avx2", expf_f32_avx2, tanhf_f32_avx2},
#endif
#ifdef QEN_NEON_KERNELS
      {"neon", expf_f32_neon, tanhf_f32_neon},
#endif
      {"scalar", expf_f32_scalar, tanhf_f32_scalar}};
  return variants;
}

}  // namespace qen
