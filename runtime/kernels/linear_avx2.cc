// The dense layer on 8-float AVX2 vectors; bit for bit the scalar order.
#include "kernels/linear_simd.h"
#include "kernels/simd_avx2.h"

namespace qen {

void linear_f32_avx2(const LinearArgs& args) { linear_f32<Avx2>(args); }

}  // namespace qen
