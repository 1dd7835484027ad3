// The peak loops for a GCC vector type of floats, so that each file compiled
// for an instruction set gets its own copy. Included
// by one file per instruction set only; everything here has internal linkage.
#pragma once

#include <cstdint>
#include <cstring>

#include "machine_peak.h"

namespace qen_bench {
namespace {

template <typename Vec>
struct Loops {
  static constexpr uint64_t W = sizeof(Vec) / sizeof(float);

  static float sum_lanes(const Vec* v, int count) {
    float total = 0.0f;
    for (int i = 0; i < count; ++i)
      for (uint64_t l = 0; l < W; ++l) total += v[i][l];
    return total;
  }

  // Chains of one multiply then one add each, enough to fill the multiply
  // and add units, and few enough that they and the two constants stay in
  // registers (16 of them below AVX-512): a chain spilled to the stack adds
  // a store and a load to every step and halves the measured peak. The
  // values settle near 1.
  static constexpr int kChains = W == 16 ? 16 : 12;
  static float mul_add(uint64_t passes) {
    Vec acc[kChains];
    for (int i = 0; i < kChains; ++i) acc[i] = Vec{} + (1.0f + static_cast<float>(i) / 64);
    const Vec m = Vec{} + 0.999f, a = Vec{} + 0.001f;
    for (uint64_t p = 0; p < passes; ++p)
      for (auto& v : acc) v = v * m + a;
    return sum_lanes(acc, kChains);
  }

  // Reads the buffer as 16 parts side by side, one vector of each part per
  // step, so that as many misses are in flight as when a kernel walks 16
  // weight rows at once. The parts are 64 bytes shorter than a 16th, so
  // that they do not all start in one L1 set (as a power-of-two buffer's
  // 16ths would, which halved the rate measured on Zen 4); the last 1 KiB
  // is not read.
  static float read(const float* data, uint64_t count) {
    constexpr uint64_t kParts = 16;
    const uint64_t sixteenth = count / kParts / 16 * 16;
    const uint64_t part = sixteenth > 16 ? sixteenth - 16 : sixteenth;
    Vec sum[kParts] = {};
    for (uint64_t i = 0; i < part; i += W)
      for (uint64_t p = 0; p < kParts; ++p) {
        Vec v;
        std::memcpy(&v, data + p * part + i, sizeof v);
        sum[p] += v;
      }
    return sum_lanes(sum, kParts);
  }

  static PeakLoops table() { return PeakLoops{mul_add, nullptr, read, W, kChains}; }
};

}  // namespace
}  // namespace qen_bench
