// The dense layer on 16-float AVX-512 vectors; bit for bit the scalar order.
#include "kernels/linear_simd.h"
#include "kernels/simd_avx512.h"

namespace qen {

void linear_f32_avx512(const LinearArgs& args) { linear_f32<Avx512>(args); }

}  // namespace qen
