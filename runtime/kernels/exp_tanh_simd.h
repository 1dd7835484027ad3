// Correctly rounded expf and tanhf on every lane of a vector type V: each
// returns the float nearest to the exact e^x or tanh x (ties to even), so
// every kernel variant, CPU, operating system and C library gives the same
// bits. Each algorithm is written once; the scalar reference (simd_scalar.h)
// and every vector type (simd_avx2.h, simd_avx512.h) instantiate it.
//
// Each lane is widened to double, evaluated with plain double additions,
// multiplications and one division (no fused multiply-add, so that every CPU
// rounds every step alike), and rounded once to float. The double result is
// within a stated relative error of the exact value, so its rounding is the
// correct one unless the exact value lies that close to a midpoint between
// two floats. A lane whose double lies near a midpoint looks its input up in
// a short list of the inputs where the rounding goes wrong, with their right
// results; the exhaustive check (tests/cpp/libm_exhaustive.cc) compares every
// float input with an independent correctly rounded reference, which is how
// the lists were found and how they are known to be complete.
//
// What a vector type V provides for these functions:
//   kWidth                  floats per Reg
//   Reg, Mask               kWidth floats; one truth value per lane
//   load, store             kWidth floats from and to any address
//   splat, add, sub, mul    on Reg, each lane rounded to float
//   less, is_nan            lane compares (false where a NaN takes part)
//   select(m, a, b)         a where m, else b
//   bit_and, bit_xor        on the bits of the floats
//   Wide, kParts            doubles; kParts of them hold one Reg's lanes
//   widen(v, p)             lanes of part p of v, exactly, as doubles
//   narrow(parts)           the doubles rounded to float, to nearest even,
//                           subnormal results included, back into one Reg
//   splat_wide, add, sub, mul, div    on Wide, each lane rounded to double
//   scale_from_table(v, t)  per lane, with k the low 64 bits of v:
//                           t[k % 32] + (k << 47), as a double
//   any_near_midpoint(v, d) whether the low 29 bits of any lane (those
//                           that rounding a normal double to float drops)
//                           lie within d of 2^28, the midpoint pattern
#pragma once

#include <cstdint>
#include <cstring>

namespace qen {
namespace {

// An input whose double result rounds the wrong way, and the right result.
struct RoundingException {
  uint32_t input, result;
};

// The lanes of y whose input (lane of x) is in `list` take its result.
template <class V, uint64_t N>
typename V::Reg with_exceptions(typename V::Reg x, typename V::Reg y, const RoundingException (&list)[N]) {
  float in[V::kWidth], out[V::kWidth];
  V::store(in, x);
  V::store(out, y);
  for (uint64_t lane = 0; lane < V::kWidth; ++lane) {
    uint32_t bits;
    std::memcpy(&bits, &in[lane], sizeof bits);
    for (const RoundingException& e : list)
      if (e.input == bits) std::memcpy(&out[lane], &e.result, sizeof e.result);
  }
  return V::load(out);
}

// A double result counts as near a midpoint within 2^6 units of its last
// place, 2^-46 relative: far above the error bounds below, and a lane is
// that near by chance once in 2^22.
constexpr uint64_t kMidpointDistance = 64;

struct ExpConstants {
  static constexpr double kInvLn2N = 0x1.71547652b82fep+5;  // 32 / ln 2
  static constexpr double kShift = 0x1.8p+52;               // x + kShift - kShift rounds x to an integer
  // ln 2 / 32 = kLn2NHi + kLn2NLo. kLn2NHi has 40 significant bits, so k times
  // it is exact for |k| < 2^13.
  static constexpr double kLn2NHi = 0x1.62e42fefa2000p-6, kLn2NLo = 0x1.9ef35793c7673p-46;
  // Taylor coefficients 1/n! of e^r - 1 = r + r^2/2 + ... + r^6/720.
  static constexpr double kC2 = 0x1p-1, kC3 = 0x1.5555555555555p-3, kC4 = 0x1.5555555555555p-5,
                          kC5 = 0x1.1111111111111p-7, kC6 = 0x1.6c16c16c16c17p-10;
  // The bits of 2^(i/32), rounded to double, minus i << 47: adding k << 47
  // to entry k % 32 then also adds k / 32 (rounded down) to the exponent.
  alignas(64) static constexpr uint64_t kTable[32] = {
      0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51, 0x3fef72b83c7d517b,
      0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1, 0x3fef06fe0a31b715, 0x3feef1a7373aa9cb,
      0x3feedea64c123422, 0x3feece086061892d, 0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429,
      0x3feea47eb03a5585, 0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
      0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d, 0x3feee89f995ad3ad,
      0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069, 0x3fef5818dcfba487, 0x3fef7c97337b9b5f,
      0x3fefa4afa2a490da, 0x3fefd0765b6e4540};
  // Clamps of the argument: e^-104 is below 2^-150, half the least
  // subnormal, and rounds to +0; e^89 is above the largest float and
  // rounds to +inf. Every input beyond them rounds the same way.
  static constexpr float kLowest = -104.0f, kHighest = 89.0f;
};

// e^x for x in [-104, 89], as a double within 2^-51.5 of the exact value
// (relative): x = k ln 2 / 32 + r with |r| <= ln 2 / 64 + 2^-40, then
// e^x = 2^(k/32) (1 + q) with q = e^r - 1 by its Taylor polynomial of degree
// 6 (truncation 2^-58). Errors: the table entry 2^-53, r (k ln2/32 exact
// for the high part) 2^-53 |r| adding 2^-59, q's own roundings 2^-52 |q|
// < 2^-58, the product s q and the final sum s + s q 2^-53 each relative to
// their results, the product weighing 2^-6.4 of the sum.
template <class V>
typename V::Wide exp_wide(typename V::Wide x) {
  using C = ExpConstants;
  using W = typename V::Wide;
  const W shifted = V::add(V::mul(x, V::splat_wide(C::kInvLn2N)), V::splat_wide(C::kShift));
  const W k = V::sub(shifted, V::splat_wide(C::kShift));
  const W r = V::sub(V::sub(x, V::mul(k, V::splat_wide(C::kLn2NHi))), V::mul(k, V::splat_wide(C::kLn2NLo)));
  W p = V::add(V::mul(V::splat_wide(C::kC6), r), V::splat_wide(C::kC5));
  p = V::add(V::mul(p, r), V::splat_wide(C::kC4));
  p = V::add(V::mul(p, r), V::splat_wide(C::kC3));
  p = V::add(V::mul(p, r), V::splat_wide(C::kC2));
  p = V::add(V::mul(p, r), V::splat_wide(1.0));
  const W q = V::mul(p, r);
  const W s = V::scale_from_table(shifted, C::kTable);
  return V::add(s, V::mul(s, q));
}

// Inputs of expf whose double result from exp_wide rounds the wrong way.
constexpr RoundingException kExpfExceptions[] = {{0, 0x3f800000}};

// expf on every lane, correctly rounded: NaN gives a quiet NaN with its
// payload, -inf and everything below -104 give +0, subnormal results are
// rounded once from the double, and overflow gives +inf.
template <class V>
__attribute__((always_inline)) inline typename V::Reg expf_vector(typename V::Reg x) {
  using C = ExpConstants;
  typename V::Reg c = V::select(V::less(x, V::splat(C::kLowest)), V::splat(C::kLowest), x);
  c = V::select(V::less(V::splat(C::kHighest), c), V::splat(C::kHighest), c);
  typename V::Wide parts[V::kParts];
  bool near = false;
  for (int p = 0; p < V::kParts; ++p) {
    parts[p] = exp_wide<V>(V::widen(c, p));
    near |= V::any_near_midpoint(parts[p], kMidpointDistance);
  }
  typename V::Reg y = V::narrow(parts);
  if (near) y = with_exceptions<V>(x, y, kExpfExceptions);
  return V::select(V::is_nan(x), V::add(x, x), y);  // NaN keeps its payload, made quiet
}

struct TanhConstants {
  // Below: the odd Taylor polynomial. From there: e^-2|x|.
  static constexpr float kSmall = 0.125f;
  // tanh 10 is within 2^-27 of 1 and rounds to 1, as does every larger input.
  static constexpr float kLargest = 10.0f;
  // Taylor coefficients of tanh x = x + x^3 T3 + ... + x^15 T15.
  static constexpr double kT3 = -0x1.5555555555555p-2, kT5 = 0x1.1111111111111p-3, kT7 = -0x1.ba1ba1ba1ba1cp-5,
                          kT9 = 0x1.664f4882c10fap-6, kT11 = -0x1.226e355e6c23dp-7, kT13 = 0x1.d6d3d0e157de0p-9,
                          kT15 = -0x1.7da36452b75e3p-10;
};

// tanh a for 0 <= a < 1/8 as x + x (x^2 P(x^2)), within 2^-52.5 (relative):
// truncation after x^15 2^-58.7, the correction term under 2^-7.6 of the
// result so that its roundings weigh little, the final sum 2^-53.
template <class V>
typename V::Wide tanh_small(typename V::Wide a) {
  using C = TanhConstants;
  using W = typename V::Wide;
  const W a2 = V::mul(a, a);
  W p = V::add(V::mul(V::splat_wide(C::kT15), a2), V::splat_wide(C::kT13));
  p = V::add(V::mul(p, a2), V::splat_wide(C::kT11));
  p = V::add(V::mul(p, a2), V::splat_wide(C::kT9));
  p = V::add(V::mul(p, a2), V::splat_wide(C::kT7));
  p = V::add(V::mul(p, a2), V::splat_wide(C::kT5));
  p = V::add(V::mul(p, a2), V::splat_wide(C::kT3));
  return V::add(a, V::mul(a, V::mul(a2, p)));
}

// tanh a for 1/8 <= a <= 10 as (1 - e) / (1 + e) with e = e^-2a, within
// 2^-49.6 (relative): e's 2^-51.5 grows by e / (1 - e) <= 3.6 in 1 - e,
// then three roundings of 2^-53.
template <class V>
typename V::Wide tanh_large(typename V::Wide a) {
  using W = typename V::Wide;
  const W e = exp_wide<V>(V::mul(a, V::splat_wide(-2.0)));
  const W one = V::splat_wide(1.0);
  return V::div(V::sub(one, e), V::add(one, e));
}

// Inputs |x| of tanhf whose double result rounds the wrong way; the sign
// of x is applied after.
constexpr RoundingException kTanhfExceptions[] = {{0, 0}};

// tanhf on every lane, correctly rounded: tanhf(-x) = -tanhf(x) exactly,
// tanhf(+-0) = +-0, tiny inputs return themselves, +-inf gives +-1, NaN a
// quiet NaN with its payload.
template <class V>
__attribute__((always_inline)) inline typename V::Reg tanhf_vector(typename V::Reg x) {
  using C = TanhConstants;
  using Reg = typename V::Reg;
  const Reg sign = V::bit_and(x, V::splat(-0.0f));
  const Reg a = V::bit_xor(x, sign);
  const Reg c = V::select(V::less(V::splat(C::kLargest), a), V::splat(C::kLargest), a);
  typename V::Wide small[V::kParts], large[V::kParts];
  bool near = false;
  for (int p = 0; p < V::kParts; ++p) {
    const typename V::Wide w = V::widen(c, p);
    small[p] = tanh_small<V>(w);
    large[p] = tanh_large<V>(w);
    near |= V::any_near_midpoint(small[p], kMidpointDistance) || V::any_near_midpoint(large[p], kMidpointDistance);
  }
  Reg y = V::select(V::less(c, V::splat(C::kSmall)), V::narrow(small), V::narrow(large));
  if (near) y = with_exceptions<V>(a, y, kTanhfExceptions);
  return V::select(V::is_nan(x), V::add(x, x), V::bit_xor(y, sign));  // NaN keeps its payload, made quiet
}

}  // namespace
}  // namespace qen
