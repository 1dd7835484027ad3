// Correctly rounded expf and tanhf on every lane of a vector type V: each
// returns the float nearest to the exact e^x or tanh x (ties to even), so
// every kernel variant, CPU, operating system and C library gives the same
// bits. Each algorithm is written once; the scalar reference (simd_scalar.h)
// and every vector type (simd_avx2.h, simd_avx512.h) instantiate it.
//
// Each lane is widened to double, evaluated with double additions,
// multiplications, multiply-adds and one division, and rounded once to
// float. A multiply-add (V::mul_add) is fused where every CPU of the vector
// type has the instruction (AVX-512) and rounded twice elsewhere; the error
// bounds below count two roundings, so they hold either way. The double
// result is within a stated relative error of the exact value, so its
// rounding is the correct one, the same bits on every path, unless the
// exact value lies that close to a midpoint between two floats. The
// exhaustive check (tests/cpp/libm_exhaustive.cc) compares all 2^32 inputs
// of each function, in every variant, with an independent correctly rounded
// reference: no input of either comes that close, so no input needs a case
// of its own. Any change here must pass that check again.
//
// What a vector type V provides for these functions:
//   Reg, Mask               floats; one truth value per lane
//   splat, add              on Reg, each lane rounded to float
//   min, max                lane by lane; any value where a NaN takes part
//   is_nan                  lane compare
//   select(m, a, b)         a where m, else b
//   bit_and, bit_xor        on the bits of the floats
//   Wide, kParts            doubles; kParts of them hold one Reg's lanes
//   widen(v, p)             lanes of part p of v, exactly, as doubles
//   narrow(parts)           the doubles rounded to float, to nearest even,
//                           subnormal results included, back into one Reg
//   splat_wide, add, sub, mul, div    on Wide, each lane rounded to double
//   mul_add(a, b, c)        a b + c, fused or rounded twice
//   scale_from_table(v, t)  per lane, with k the low 64 bits of v:
//                           t[k % 16] + (k << 48), as a double
//   power_of_two(v)         per lane, with k the low 16 bits of v:
//                           2^floor(k / 16) from its bits, with no table
#pragma once

#include <cstdint>

namespace qen {
namespace {

struct ExpConstants {
  static constexpr double kInvLn2N = 0x1.71547652b82fep+4;  // 16 / ln 2
  static constexpr double kShift = 0x1.8p+52;               // x + kShift - kShift rounds x to an integer
  // ln 2 / 16 = kLn2NHi + kLn2NLo. kLn2NHi has 41 significant bits, so k times
  // it is exact for |k| < 2^12.
  static constexpr double kLn2NHi = 0x1.62e42fefa3000p-5, kLn2NLo = 0x1.3de6af278ece6p-46;
  // e^r - 1 = r + r^2 (C2 + C3 r + ... + C6 r^4): the Chebyshev fit of
  // (e^r - 1 - r) / r^2 on |r| <= ln 2 / 32 + 2^-30, which leaves 2^-55 of
  // e^r.
  static constexpr double kC2 = 0x1.0000000000000p-1, kC3 = 0x1.55555554dd44dp-3, kC4 = 0x1.55555555194d2p-5,
                          kC5 = 0x1.11120af703474p-7, kC6 = 0x1.6c17bb51f39f5p-10;
  // The bits of 2^(i/16), rounded to double, minus i << 48: adding k << 48
  // to entry k % 16 then also adds k / 16 (rounded down) to the exponent.
  alignas(64) static constexpr uint64_t kTable[16] = {
      0x3ff0000000000000, 0x3fefb5586cf9890f, 0x3fef72b83c7d517b, 0x3fef387a6e756238,
      0x3fef06fe0a31b715, 0x3feedea64c123422, 0x3feebfdad5362a27, 0x3feeab07dd485429,
      0x3feea09e667f3bcd, 0x3feea11473eb0187, 0x3feeace5422aa0db, 0x3feec49182a3f090,
      0x3feee89f995ad3ad, 0x3fef199bdd85529c, 0x3fef5818dcfba487, 0x3fefa4afa2a490da};
  // Clamps of the argument: e^-104 is below 2^-150, half the least
  // subnormal, and rounds to +0; e^89 is above the largest float and
  // rounds to +inf. Every input beyond them rounds the same way.
  static constexpr float kLowest = -104.0f, kHighest = 89.0f;
};

// The reduction of a double x (|x| < 2^11): x = k ln 2 / 16 + r with k an
// integer and |r| <= ln 2 / 32 + 2^-40, r within 2^-53 |r| + 2^-80. The low
// bits of `shifted` hold k. kLn2NHi k is exact and x - kLn2NHi k loses
// nothing that matters: that difference is rounded relative to itself.
template <class V>
void reduce(typename V::Wide x, typename V::Wide& shifted, typename V::Wide& r) {
  using C = ExpConstants;
  shifted = V::mul_add(x, V::splat_wide(C::kInvLn2N), V::splat_wide(C::kShift));
  const typename V::Wide k = V::sub(shifted, V::splat_wide(C::kShift));
  r = V::mul_add(k, V::splat_wide(-C::kLn2NLo), V::mul_add(k, V::splat_wide(-C::kLn2NHi), x));
}

// e^r - 1 for |r| <= ln 2 / 32 + 2^-40 by the polynomial of degree 6 above
// (2^-55 of e^r), in Estrin's order so that the chain of dependent steps is
// short: r + r^2 ((C2 + C3 r) + r^2 ((C4 + C5 r) + C6 r^2)). Its roundings
// come to 2^-52 of the result.
template <class V>
typename V::Wide expm1_reduced(typename V::Wide r) {
  using C = ExpConstants;
  using W = typename V::Wide;
  const W r2 = V::mul(r, r);
  const W low = V::mul_add(V::splat_wide(C::kC3), r, V::splat_wide(C::kC2));
  const W high = V::mul_add(V::splat_wide(C::kC6), r2, V::mul_add(V::splat_wide(C::kC5), r, V::splat_wide(C::kC4)));
  return V::mul_add(r2, V::mul_add(r2, high, low), r);
}

// e^x for x in [-104, 89], as a double within 2^-51.5 of the exact value
// (relative): e^x = 2^(k/16) (1 + q) with q = e^r - 1. Errors: the table
// entry 2^-53, the polynomial 2^-55, r 2^-53 |r| and q's roundings together
// under 2^-57, the product s q and the final sum s + s q 2^-53 each
// relative to their results, the product weighing 2^-5.4 of the sum.
template <class V>
typename V::Wide exp_wide(typename V::Wide x) {
  typename V::Wide shifted, r;
  reduce<V>(x, shifted, r);
  const typename V::Wide q = expm1_reduced<V>(r);
  const typename V::Wide s = V::scale_from_table(shifted, ExpConstants::kTable);
  return V::mul_add(s, q, s);
}

// expf on every lane, correctly rounded: NaN gives a quiet NaN with its
// payload, -inf and everything below -104 give +0, subnormal results are
// rounded once from the double, and overflow gives +inf.
template <class V>
__attribute__((always_inline)) inline typename V::Reg expf_vector(typename V::Reg x) {
  using C = ExpConstants;
  const typename V::Reg c = V::max(V::min(x, V::splat(C::kHighest)), V::splat(C::kLowest));
  typename V::Wide parts[V::kParts];
  for (int p = 0; p < V::kParts; ++p) parts[p] = exp_wide<V>(V::widen(c, p));
  return V::select(V::is_nan(x), V::add(x, x), V::narrow(parts));  // NaN keeps its payload, made quiet
}

struct TanhConstants {
  // tanh 10 is within 2^-27 of 1 and rounds to 1, as does every larger input.
  static constexpr float kLargest = 10.0f;
  // 2^(i/16) - 1 rounded to double, its bits minus i << 48 (the way of
  // ExpConstants::kTable), so that adding k << 48 gives 2^j (2^(i/16) - 1)
  // for k = 16 j + i; entry 0 then gives 2^(j - 1023), negligible beside
  // the 2^j - 1 it is added to (and +0 for j = 0).
  alignas(64) static constexpr uint64_t kMinusOneTable[16] = {
      0x0000000000000000, 0x3fa5ab0d9f3121ec, 0x3fb52b83c7d517ae, 0x3fbec3d373ab11c3,
      0x3fc437f0518db8a9, 0x3fc9f5326091a112, 0x3fccff6b54d8a89c, 0x3fcfac1f752150a5,
      0x3fd2827999fcef32, 0x3fd58451cfac061b, 0x3fd759ca845541b7, 0x3fd889230547e120,
      0x3fd9d13f32b5a75b, 0x3fdb3337bb0aa538, 0x3fdcb031b9f7490e, 0x3fde495f454921b3};
};

// tanh a for 0 <= a <= 10, given 2a (doubled exactly in float), as
// E / (E + 2) with E = e^2a - 1, within 2^-49.8
// (relative). With 2a = k ln 2 / 16 + r, k = 16 j + i and q = e^r - 1,
// E = A + B q where A = 2^j (2^(i/16) - 1) + (2^j - 1) and B = 2^j + that
// first term: every term is accurate relative to itself, and for small a
// (k = 0) E is q itself, so no cancellation ruins the small results. The
// errors of A (2^-53 of itself), q (2^-52), B q and the sum (2^-53 each)
// come to at most 2^-50.2 of E, where q < 0 cancels part of A (k = 1);
// then E + 2 and the division add 2^-53 each.
template <class V>
typename V::Wide tanh_wide(typename V::Wide twice_a) {
  using C = TanhConstants;
  using W = typename V::Wide;
  W shifted, r;
  reduce<V>(twice_a, shifted, r);
  const W q = expm1_reduced<V>(r);
  const W power = V::power_of_two(shifted);
  const W scaled = V::scale_from_table(shifted, C::kMinusOneTable);
  const W e = V::mul_add(V::add(power, scaled), q, V::add(scaled, V::sub(power, V::splat_wide(1.0))));
  return V::div(e, V::add(e, V::splat_wide(2.0)));
}

// tanhf on every lane, correctly rounded: tanhf(-x) = -tanhf(x) exactly,
// tanhf(+-0) = +-0, tiny inputs return themselves, +-inf gives +-1, NaN a
// quiet NaN with its payload.
template <class V>
__attribute__((always_inline)) inline typename V::Reg tanhf_vector(typename V::Reg x) {
  using C = TanhConstants;
  using Reg = typename V::Reg;
  const Reg sign = V::bit_and(x, V::splat(-0.0f));
  const Reg a = V::bit_xor(x, sign);
  const Reg c = V::min(a, V::splat(C::kLargest));
  const Reg twice = V::add(c, c);  // exact
  typename V::Wide parts[V::kParts];
  for (int p = 0; p < V::kParts; ++p) parts[p] = tanh_wide<V>(V::widen(twice, p));
  return V::select(V::is_nan(x), V::add(x, x),
                   V::bit_xor(V::narrow(parts), sign));  // NaN keeps its payload, made quiet
}

}  // namespace
}  // namespace qen
