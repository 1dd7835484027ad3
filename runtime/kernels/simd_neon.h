// NEON vector operations on 4 floats (and 2 doubles), for the kernel files
// built for aarch64, where NEON is always present: no flags, so the build's
// -ffp-contract=off keeps every multiply and add apart (no fmla). What it
// provides, for any kernel template over a vector type:
// - float lanes: loads and stores, whole or of the first `count` lanes
//   (touching no byte past them), broadcast, arithmetic, ReLU's and the row
//   maximum's comparisons, lane access, the in-register transpose steps;
// - for the vector math: lane masks, bit operations, and the lanes widened
//   to doubles, two at a time (float64x2_t).
// Everything has internal linkage, like the x86 vector types.
#pragma once

#include <arm_neon.h>

#include <cstdint>
#include <cstring>

#include "kernels.h"

namespace qen {
namespace {

struct Neon {
  static constexpr uint64_t kWidth = 4;
  using Reg = float32x4_t;
  // Vectors of rows in the dense layer's many-rows tile, whatever the
  // distance between weight rows.
  static constexpr uint64_t kRowVectors = 2;
  static constexpr uint64_t kRowVectorsSameSet = 2;
  // Output tiles a single row of x takes at once in the dense layer: one, as
  // a second is unmeasured on ARM hardware.
  static constexpr uint64_t kSingleRowTiles = 1;

  static Reg zero() { return vdupq_n_f32(0.0f); }
  // Element pointers may sit at any byte address: copied, which compiles
  // to one unaligned vector load or store.
  static Reg load(const void* p) {
    Reg v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static void store(void* p, Reg v) { std::memcpy(p, &v, sizeof v); }
  // Lanes at and past `count` are +0.0; no byte past them is read.
  static Reg load_first(const void* p, uint64_t count) {
    float lanes[kWidth] = {};
    std::memcpy(lanes, p, count * sizeof(float));
    return vld1q_f32(lanes);
  }
  // Writes the first `count` lanes only.
  static void store_first(void* p, Reg v, uint64_t count) {
    float lanes[kWidth];
    vst1q_f32(lanes, v);
    std::memcpy(p, lanes, count * sizeof(float));
  }
  // One float from memory in every lane.
  static Reg broadcast(const void* p) {
    float v;
    std::memcpy(&v, p, sizeof v);
    return vdupq_n_f32(v);
  }
  static Reg splat(float v) { return vdupq_n_f32(v); }
  static Reg add(Reg a, Reg b) { return vaddq_f32(a, b); }
  static Reg sub(Reg a, Reg b) { return vsubq_f32(a, b); }
  static Reg mul(Reg a, Reg b) { return vmulq_f32(a, b); }
  static Reg div(Reg a, Reg b) { return vdivq_f32(a, b); }
  // v > 0 ? v : +0.0; a NaN compares false.
  static Reg positive_or_zero(Reg v) { return from_bits(vandq_u32(vcgtq_f32(v, zero()), bits(v))); }
  // Lane by lane: b > a ? b : a.
  static Reg keep_greater(Reg a, Reg b) { return vbslq_f32(vcgtq_f32(b, a), b, a); }
  // v, every NaN lane made canonical_nan(); for results about to be stored.
  static Reg with_canonical_nans(Reg v) { return vbslq_f32(vceqq_f32(v, v), v, splat(canonical_nan())); }
  // Lanes `first` and up, moved down to lane 0.
  static Reg lanes_from(Reg v, uint64_t first) {
    switch (first) {
      case 0: return v;
      case 1: return vextq_f32(v, v, 1);
      case 2: return vextq_f32(v, v, 2);
      default: return vextq_f32(v, v, 3);
    }
  }
  static float lane(Reg v, uint64_t i) {
    float lanes[kWidth];
    vst1q_f32(lanes, v);
    return lanes[i];
  }

  // The steps of transpose() (linear_simd.h): lanes 0, 1 of a and b
  // interleaved, or lanes 2, 3; then the same for pairs of lanes. One
  // 128-bit block holds all four lanes, so there are no blocks to move.
  static Reg interleave_low(Reg a, Reg b) { return vzip1q_f32(a, b); }
  static Reg interleave_high(Reg a, Reg b) { return vzip2q_f32(a, b); }
  static Reg interleave_low_pairs(Reg a, Reg b) {
    return vreinterpretq_f32_f64(vzip1q_f64(vreinterpretq_f64_f32(a), vreinterpretq_f64_f32(b)));
  }
  static Reg interleave_high_pairs(Reg a, Reg b) {
    return vreinterpretq_f32_f64(vzip2q_f64(vreinterpretq_f64_f32(a), vreinterpretq_f64_f32(b)));
  }
  static void transpose_blocks(Reg (&)[kWidth]) {}

  // For the vector math (exp_tanh_simd.h): lane masks (all bits set where
  // true), bits, and the lanes widened to doubles in two parts of two.
  using Mask = uint32x4_t;
  // The smaller or larger of a and b; NaN where a NaN takes part.
  static Reg min(Reg a, Reg b) { return vminq_f32(a, b); }
  static Reg max(Reg a, Reg b) { return vmaxq_f32(a, b); }
  static Mask is_nan(Reg v) { return vmvnq_u32(vceqq_f32(v, v)); }
  static Reg select(Mask m, Reg yes, Reg no) { return vbslq_f32(m, yes, no); }
  static uint32x4_t bits(Reg v) { return vreinterpretq_u32_f32(v); }
  static Reg from_bits(uint32x4_t v) { return vreinterpretq_f32_u32(v); }
  static Reg bit_and(Reg a, Reg b) { return from_bits(vandq_u32(bits(a), bits(b))); }
  static Reg bit_xor(Reg a, Reg b) { return from_bits(veorq_u32(bits(a), bits(b))); }

  using Wide = float64x2_t;
  static constexpr int kParts = 2;
  static Wide widen(Reg v, int part) { return part == 0 ? vcvt_f64_f32(vget_low_f32(v)) : vcvt_high_f64_f32(v); }
  // Rounded to nearest even, subnormal results included: Linux runs
  // programs with flush-to-zero off.
  static Reg narrow(const Wide (&parts)[kParts]) { return vcvt_high_f32_f64(vcvt_f32_f64(parts[0]), parts[1]); }
  static Wide splat_wide(double v) { return vdupq_n_f64(v); }
  static Wide add(Wide a, Wide b) { return vaddq_f64(a, b); }
  static Wide sub(Wide a, Wide b) { return vsubq_f64(a, b); }
  static Wide mul(Wide a, Wide b) { return vmulq_f64(a, b); }
  static Wide div(Wide a, Wide b) { return vdivq_f64(a, b); }
  // a b + c, rounded twice: this library holds no fused instruction on aarch64.
  static Wide mul_add(Wide a, Wide b, Wide c) { return vaddq_f64(vmulq_f64(a, b), c); }
  // Per lane, with k the low 64 bits of v: table[k % 16] + (k << 48), as a double.
  // Per lane, with k the low 16 bits of v: 2^floor(k / 16) as a double,
  // made from its bits: k / 16 added to 1.0's exponent.
  static Wide power_of_two(Wide v) {
    const uint64x2_t k = vreinterpretq_u64_f64(v);
    return vreinterpretq_f64_u64(vaddq_u64(vshlq_n_u64(vshrq_n_u64(k, 4), 52), vdupq_n_u64(0x3ff0000000000000)));
  }
  static Wide scale_from_table(Wide v, const uint64_t (&table)[16]) {
    const uint64x2_t k = vreinterpretq_u64_f64(v);
    const uint64x2_t entry =
        vcombine_u64(vcreate_u64(table[vgetq_lane_u64(k, 0) & 15]), vcreate_u64(table[vgetq_lane_u64(k, 1) & 15]));
    return vreinterpretq_f64_u64(vaddq_u64(entry, vshlq_n_u64(k, 48)));
  }
};

}  // namespace
}  // namespace qen
