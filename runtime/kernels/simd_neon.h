// NEON vector operations on 4 floats (and 2 doubles), for the kernel files
// built for aarch64, where NEON is always present: no flags, so the build's
// -ffp-contract=off keeps every multiply and add apart (no fmla). What it
// provides, for any kernel template over a vector type:
// - float lanes: loads and stores, whole or of the first `count` lanes
//   (touching no byte past them), broadcast, arithmetic, ReLU's and the row
//   maximum's comparisons, lane access, the in-register transpose steps;
// - for the vector math: lane masks and the floats' bits as 32-bit integers.
// Everything has internal linkage, like the x86 vector types.
#pragma once

#include <arm_neon.h>

#include <cstdint>
#include <cstring>

namespace qen {
namespace {

struct Neon {
  static constexpr uint64_t kWidth = 4;
  using Reg = float32x4_t;

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
  static Reg positive_or_zero(Reg v) { return bit_and(from_mask(vcgtq_f32(v, zero())), v); }
  // Lane by lane: b > a ? b : a.
  static Reg keep_greater(Reg a, Reg b) { return vbslq_f32(vcgtq_f32(b, a), b, a); }
  // Lanes kWidth / 2 and up, moved down to lane 0.
  static Reg upper_half(Reg v) { return vextq_f32(v, v, 2); }
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

  // Lane masks (all bits set where true) and the floats' bits as integers.
  using Mask = uint32x4_t;
  using Int = int32x4_t;
  static Reg from_mask(Mask m) { return vreinterpretq_f32_u32(m); }
  static Mask less(Reg a, Reg b) { return vcltq_f32(a, b); }
  static Mask at_most(Reg a, Reg b) { return vcleq_f32(a, b); }
  static bool all(Mask m) { return vminvq_u32(m) == 0xffffffffu; }
  static Mask is_nan(Reg v) { return vmvnq_u32(vceqq_f32(v, v)); }
  static Mask greater(Int a, Int b) { return vcgtq_s32(a, b); }
  static Mask equal(Int a, Int b) { return vceqq_s32(a, b); }
  static Mask both(Mask a, Mask b) { return vandq_u32(a, b); }
  static Mask either(Mask a, Mask b) { return vorrq_u32(a, b); }
  static Reg select(Mask m, Reg yes, Reg no) { return vbslq_f32(m, yes, no); }
  static Int select(Mask m, Int yes, Int no) { return vbslq_s32(m, yes, no); }
  static Reg bit_and(Reg a, Reg b) { return from_bits(vandq_s32(bits(a), bits(b))); }
  static Reg bit_xor(Reg a, Reg b) { return from_bits(veorq_s32(bits(a), bits(b))); }
  static Int bits(Reg v) { return vreinterpretq_s32_f32(v); }
  static Reg from_bits(Int v) { return vreinterpretq_f32_s32(v); }
  static Int splat_int(int32_t v) { return vdupq_n_s32(v); }
  static Int add(Int a, Int b) { return vaddq_s32(a, b); }
  static Int sub(Int a, Int b) { return vsubq_s32(a, b); }
  static Int shift_left_23(Int v) { return vshlq_n_s32(v, 23); }
  // v >> count per lane, logical; 0 where count is negative or above 31
  // (NEON's own shift would shift left for a negative count).
  static Int shift_right(Int v, Int count) {
    const uint32x4_t shifted = vshlq_u32(vreinterpretq_u32_s32(v), vnegq_s32(count));
    const Mask outside = vcgtq_u32(vreinterpretq_u32_s32(count), vdupq_n_u32(31));
    return vreinterpretq_s32_u32(vbicq_u32(shifted, outside));
  }
  // Toward zero. Out of range NEON saturates where x86 gives INT32_MIN;
  // the vector math replaces such lanes' results.
  static Int truncate(Reg v) { return vcvtq_s32_f32(v); }
  static Reg to_float(Int v) { return vcvtq_f32_s32(v); }
};

}  // namespace
}  // namespace qen
