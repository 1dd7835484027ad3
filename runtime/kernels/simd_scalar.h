// One float as a vector of one lane: the vector type on which the scalar
// reference kernels run the shared vector math (exp_tanh_simd.h), so that
// they and every vector variant compute the same roundings.
#pragma once

#include <cstdint>
#include <cstring>

namespace qen {
namespace {

struct Scalar {
  using Reg = float;
  using Mask = bool;

  static Reg splat(float v) { return v; }
  static Reg add(Reg a, Reg b) { return a + b; }
  // The smaller or larger of a and b; b where a NaN takes part.
  static Reg min(Reg a, Reg b) { return a < b ? a : b; }
  static Reg max(Reg a, Reg b) { return a > b ? a : b; }
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
  // a b + c, rounded twice (the build contracts nothing).
  static Wide mul_add(Wide a, Wide b, Wide c) { return a * b + c; }
  static uint64_t wide_bits(Wide v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
  }
  // table[k % 16] + (k << 48) as a double, with k the bits of v.
  // Per lane, with k the low 16 bits of v: 2^floor(k / 16) as a double,
  // made from its bits: k / 16 added to 1.0's exponent.
  static Wide power_of_two(Wide v) {
    const uint64_t bits = (wide_bits(v) >> 4 << 52) + 0x3ff0000000000000;
    double s;
    std::memcpy(&s, &bits, sizeof s);
    return s;
  }
  static Wide scale_from_table(Wide v, const uint64_t (&table)[16]) {
    const uint64_t k = wide_bits(v);
    const uint64_t entry = table[k & 15] + (k << 48);
    double s;
    std::memcpy(&s, &entry, sizeof s);
    return s;
  }
};

}  // namespace
}  // namespace qen
