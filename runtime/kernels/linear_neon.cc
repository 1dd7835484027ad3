// The dense layer on 4-float NEON vectors; bit for bit the scalar order.
#include "kernels/linear_simd.h"
#include "kernels/simd_neon.h"

namespace qen {

void linear_f32_neon(const LinearArgs& args) { linear_f32<Neon>(args); }

}  // namespace qen
