// One float as a vector of one lane: the vector type on which the scalar
// reference kernels run the shared vector math (exp_tanh_simd.h), so that
// they and every vector variant compute the same roundings.
#pragma once

#include <cstdint>
#include <cstring>

namespace qen {
namespace {

struct Scalar {
  static constexpr uint64_t kWidth = 1;
  using Reg = float;
  using Mask = bool;

  static Reg load(const void* p) {
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static void store(void* p, Reg v) { std::memcpy(p, &v, sizeof v); }
  static Reg splat(float v) { return v; }
  static Reg add(Reg a, Reg b) { return a + b; }
  static Reg sub(Reg a, Reg b) { return a - b; }
  static Reg mul(Reg a, Reg b) { return a * b; }
  static Mask less(Reg a, Reg b) { return a < b; }
  static Mask is_nan(Reg v) { return v != v; }
  static Reg select(Mask m, Reg yes, Reg no) { return m ? yes : no; }
  static Reg bit_and(Reg a, Reg b) { return from_bits(bits(a) & bits(b)); }
  static Reg bit_xor(Reg a, Reg b) { return from_bits(bits(a) ^ bits(b)); }
  static uint32_t bits(Reg v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
  }
  static Reg from_bits(uint32_t b) {
    float v;
    std::memcpy(&v, &b, sizeof v);
    return v;
  }

  using Wide = double;
  static constexpr int kParts = 1;
  static Wide widen(Reg v, int) { return v; }
  static Reg narrow(const Wide (&parts)[kParts]) { return static_cast<float>(parts[0]); }
  static Wide splat_wide(double v) { return v; }
  static Wide add(Wide a, Wide b) { return a + b; }
  static Wide sub(Wide a, Wide b) { return a - b; }
  static Wide mul(Wide a, Wide b) { return a * b; }
  static Wide div(Wide a, Wide b) { return a / b; }
  static uint64_t wide_bits(Wide v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
  }
  // table[k % 32] + (k << 47) as a double, with k the bits of v.
  static Wide scale_from_table(Wide v, const uint64_t (&table)[32]) {
    const uint64_t k = wide_bits(v);
    const uint64_t entry = table[k & 31] + (k << 47);
    double s;
    std::memcpy(&s, &entry, sizeof s);
    return s;
  }
  // Whether the low 29 bits of v lie within `distance` of 2^28.
  static bool any_near_midpoint(Wide v, uint64_t distance) {
    return (wide_bits(v) & ((1u << 29) - 1)) - ((1u << 28) - distance) <= 2 * distance;
  }
};

}  // namespace
}  // namespace qen
