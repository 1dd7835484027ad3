// The guard of the vector expf and tanhf (expf_simd.h, tanhf_simd.h). They
// repeat the roundings of one C library's algorithms, so a kernel variant
// uses them only after a check at its first use: this process's C library
// is the version they follow (and that the exhaustive check, libm_exhaustive,
// compared them with on every float), and on a pinned set of inputs (the
// hard cases, the edges of every branch, a few thousand values spread over
// all floats) they give the bits of the expf and tanhf this process calls.
// Otherwise the variant calls the C library per element, as the reference
// does, so a different C library or CPU changes no result.
#pragma once

#include <cstdint>
#include <vector>

namespace qen {

// Softmax's middle step over `rows` (at most the variant's vector width)
// consecutive rows of n values:
// y[c] = expf(x[c] - m[r]) along row r, and sums[r] the sum of those values
// from +0.0 in ascending order.
using Exponentials = void (*)(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums);
// y[i] = tanhf(x[i]) for i < n.
using VectorTanhf = void (*)(const void* x, void* y, uint64_t n);

// The C library (glibc) version whose expf and tanhf the vector code
// follows, and which the exhaustive check compared it with.
constexpr const char* kFollowedLibcVersion = "2.36";

// The first of `fused` (only when the CPU has FMA) and `plain` that gives
// this process's expf on every pinned input, or nullptr when neither does.
// A check that cannot run (no memory) counts as failed.
Exponentials checked_exponentials(Exponentials fused, Exponentials plain) noexcept;
// Whether `vector` gives this process's tanhf on every pinned input.
bool tanhf_follows_c_library(VectorTanhf vector) noexcept;

// For tests: every check made after this call expects a wrong value for
// one pinned input, and so fails.
void expect_wrong_pinned_value_for_testing();

// The vector forms of one kernel variant, named as in kernel_variants().
struct VectorLibm {
  const char* variant;
  Exponentials fused, plain;
  VectorTanhf tanhf;
};
// Those of every vector variant in this build (none off x86-64), for the
// tests and the exhaustive check; the CPU may not run all of them.
const std::vector<VectorLibm>& vector_libm_variants();

// The vector forms of each variant. The fused expf follows the C library's
// FMA build (expf_fma_*.cc), the plain one its baseline build.
void exponentials_fma_avx512(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums);
void exponentials_avx512(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums);
void tanhf_f32_avx512(const void* x, void* y, uint64_t n);
void exponentials_fma_avx2(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums);
void exponentials_avx2(const void* x, void* y, uint64_t rows, uint64_t n, const float* m, float* sums);
void tanhf_f32_avx2(const void* x, void* y, uint64_t n);

}  // namespace qen
