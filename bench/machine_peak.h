// What one core of this machine can do at best, measured with the vector
// width that the kernels use here: the rate of separate multiplies and adds
// (the kernels' own operations, never fused) and the rate of reading memory;
// for comparison, the rate of fused multiply-adds where the width has them.
#pragma once

#include <cstdint>

namespace qen_bench {

struct PeakLoops {
  // Runs `passes` rounds of `chains` independent acc = acc * m + a chains
  // over `width` lanes; returns a value that depends on every lane.
  float (*mul_add)(uint64_t passes);
  // The same chains as fused multiply-adds, or null.
  float (*fused_mul_add)(uint64_t passes);
  // Adds every float of `data` (count a multiple of 16 * width) into vector sums.
  float (*read)(const float* data, uint64_t count);
  uint64_t width;
  uint64_t chains;
};

PeakLoops peak_loops_avx512();
PeakLoops peak_loops_avx2();
PeakLoops peak_loops_baseline();  // 4 lanes, the build's own instruction set

}  // namespace qen_bench
