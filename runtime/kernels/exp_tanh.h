// The correctly rounded expf and tanhf of the kernels (exp_tanh_simd.h) as
// plain functions: the scalar ones that the reference kernels call, and the
// array forms of every variant, for the tests and the exhaustive check.
// None of them calls the C library's exponential or hyperbolic tangent.
#pragma once

#include <cstdint>
#include <vector>

namespace qen {

// e^x and tanh x rounded to the nearest float (ties to even).
float expf_correctly_rounded(float x);
float tanhf_correctly_rounded(float x);

// y[i] = f(x[i]) for i < n, as one kernel variant computes f.
using ArrayMath = void (*)(const void* x, void* y, uint64_t n);

struct ExpTanhVariant {
  const char* variant;  // as named in kernel_variants()
  ArrayMath expf, tanhf;
};
// Those of every variant in this build, the scalar one last; the CPU may
// not run all of them.
const std::vector<ExpTanhVariant>& exp_tanh_variants();

void expf_f32_scalar(const void* x, void* y, uint64_t n);
void tanhf_f32_scalar(const void* x, void* y, uint64_t n);
void expf_f32_avx512(const void* x, void* y, uint64_t n);
void tanhf_f32_avx512(const void* x, void* y, uint64_t n);
void expf_f32_avx2(const void* x, void* y, uint64_t n);
void tanhf_f32_avx2(const void* x, void* y, uint64_t n);
void expf_f32_avx2_fma(const void* x, void* y, uint64_t n);
void tanhf_f32_avx2_fma(const void* x, void* y, uint64_t n);
void expf_f32_neon(const void* x, void* y, uint64_t n);
void tanhf_f32_neon(const void* x, void* y, uint64_t n);

}  // namespace qen
