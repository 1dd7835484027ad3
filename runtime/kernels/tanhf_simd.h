// tanhf on every lane of a vector type V (simd_avx512.h, simd_avx2.h), with
// the bits of the C library's tanhf (glibc 2.36 on x86-64): the classic
// float-only algorithm, tanh |x| = 1 - 2 / (expm1f(2|x|) + 2) from |x| = 1 up
// and -t / (t + 2) with t = expm1f(-2|x|) below, with its own expm1f. Every
// branch of the scalar code is computed on every lane, each step rounded as
// the C library's binary rounds it, and the lanes then pick their branch's
// result. No fused multiply-add anywhere.
#pragma once

#include <cstdint>

namespace qen {
namespace {

// The C library's constants, as stored in its binary (single precision).
struct TanhfConstants {
  static constexpr float kInvLn2 = 0x1.715476p+0f, kLn2Hi = 0x1.62e300p-1f, kLn2Lo = 0x1.2fefa2p-17f;
  // expm1f's polynomial: r1 = 1 + h (Q1 + h (Q2 + h (Q3 + h (Q4 + h Q5)))), h = x^2 / 2,
  // with the negative coefficients' magnitudes (the binary subtracts those).
  static constexpr float kQ1 = 0x1.111112p-5f, kQ2 = 0x1.a01a02p-10f, kQ3 = 0x1.4ce19ap-14f,
                         kQ4 = 0x1.0cfca8p-18f, kQ5 = 0x1.afdb76p-23f;
  static constexpr float kTiny = 0x1.4484c0p-100f;  // 1e-30: 1 - kTiny rounds to 1
};

// expm1f(u) for the arguments tanhf passes to it: [2, 44) and (-2, 0), in
// three steps over a block of vectors, so that each step's chain of
// roundings is short and the lanes of many vectors are in flight at once.
//
// Step 1, the reduction u = k ln 2 + r + c: k = 0 for |u| <= ln 2 / 2,
// k = -1 up to 1.5 ln 2, otherwise u / ln 2 rounded half away from zero.
template <class V>
void expm1f_reduce(typename V::Reg u, typename V::Int& k, typename V::Reg& r, typename V::Reg& c) {
  using C = TanhfConstants;
  const typename V::Int hu = V::bits(V::bit_and(u, V::from_bits(V::splat_int(0x7fffffff))));
  const typename V::Reg sign_half = V::select(V::less(u, V::zero()), V::splat(-0.5f), V::splat(0.5f));
  k = V::truncate(V::add(sign_half, V::mul(V::splat(C::kInvLn2), u)));
  k = V::select(V::greater(V::splat_int(0x3f851592), hu), V::splat_int(-1), k);  // u < 0 there
  k = V::select(V::greater(V::splat_int(0x3eb17219), hu), V::splat_int(0), k);
  const typename V::Reg t = V::to_float(k);
  const typename V::Reg hi = V::sub(u, V::mul(t, V::splat(C::kLn2Hi)));  // exact; u itself for k = 0
  const typename V::Reg lo = V::mul(t, V::splat(C::kLn2Lo));
  r = V::sub(hi, lo);
  c = V::sub(V::sub(hi, r), lo);
}

// Step 2: e = hxs ((r1 - t) / (6 - r t)), with hxs = r (r / 2),
// r1 = 1 + hxs (Q1 + hxs (Q2 + ...)) and t = 3 - r1 (r / 2).
template <class V>
typename V::Reg expm1f_correction(typename V::Reg r) {
  using C = TanhfConstants;
  using Reg = typename V::Reg;
  const Reg hfx = V::mul(r, V::splat(0.5f));
  const Reg hxs = V::mul(r, hfx);
  Reg r1 = V::mul(V::splat(-C::kQ5), hxs);
  r1 = V::mul(V::add(r1, V::splat(C::kQ4)), hxs);
  r1 = V::mul(V::sub(r1, V::splat(C::kQ3)), hxs);
  r1 = V::mul(V::add(r1, V::splat(C::kQ2)), hxs);
  r1 = V::mul(V::sub(r1, V::splat(C::kQ1)), hxs);
  r1 = V::add(r1, V::splat(1.0f));
  const Reg t = V::sub(V::splat(3.0f), V::mul(hfx, r1));
  return V::mul(V::div(V::sub(r1, t), V::sub(V::splat(6.0f), V::mul(t, r))), hxs);
}

// Step 3: expm1f = 2^k (r - (e' - hxs) ...) in the form of k's branch.
// k = 0: r - (r e - hxs). Otherwise e' = (r (e - c) - c) - hxs, and
// k = -1: (r - e') / 2 - 1/2; 2 <= k <= 22: (1 - 2^-k) - (e' - r);
// k <= -2 or k > 56: 1 - (e' - r), and 1 subtracted after scaling;
// 23 <= k <= 56: (r - (e' + 2^-k)) + 1. Each scaled by 2^k through its
// exponent bits. The shift gives 0 for every k outside 0..24, which makes
// the 2 <= k <= 22 form 1 - (e' - r).
template <class V>
typename V::Reg expm1f_reconstruct(typename V::Int k, typename V::Reg r, typename V::Reg c, typename V::Reg e) {
  using Reg = typename V::Reg;
  const Reg one = V::splat(1.0f), half = V::splat(0.5f);
  const Reg hxs = V::mul(r, V::mul(r, half));
  const Reg y0 = V::sub(r, V::sub(V::mul(e, r), hxs));
  const Reg ek = V::sub(V::sub(V::mul(V::sub(e, c), r), c), hxs);
  const Reg y_minus_1 = V::sub(V::mul(V::sub(r, ek), half), half);
  const Reg one_minus = V::from_bits(V::sub(V::splat_int(0x3f800000), V::shift_right(V::splat_int(0x1000000), k)));
  const Reg low_k = V::sub(one_minus, V::sub(ek, r));
  const Reg two_minus_k = V::from_bits(V::shift_left_23(V::sub(V::splat_int(0x7f), k)));
  const Reg high_k = V::add(V::sub(r, V::add(ek, two_minus_k)), one);
  const auto k_in_23_56 = V::both(V::greater(k, V::splat_int(22)), V::greater(V::splat_int(57), k));
  const auto k_outside = V::either(V::greater(k, V::splat_int(56)), V::greater(V::splat_int(-1), k));
  Reg y = V::from_bits(V::add(V::bits(V::select(k_in_23_56, high_k, low_k)), V::shift_left_23(k)));
  y = V::select(k_outside, V::sub(y, one), y);
  y = V::select(V::equal(k, V::splat_int(-1)), y_minus_1, y);
  return V::select(V::equal(k, V::splat_int(0)), y0, y);
}

// What tanhf hands expm1f: 2|x| from |x| = 1 up, else -2|x|.
template <class V>
typename V::Reg tanhf_expm1f_argument(typename V::Reg x) {
  const typename V::Reg ax = V::bit_and(x, V::from_bits(V::splat_int(0x7fffffff)));
  return V::select(V::greater(V::bits(ax), V::splat_int(0x3f7fffff)), V::add(ax, ax), V::mul(ax, V::splat(-2.0f)));
}

// tanhf(x) from t = expm1f(tanhf_expm1f_argument(x)) as the expm1f steps
// give it, except for |2x| < 2^-25, where expm1f returns its argument.
template <class V>
typename V::Reg tanhf_finish(typename V::Reg x, typename V::Reg t) {
  using C = TanhfConstants;
  using Reg = typename V::Reg;
  const Reg one = V::splat(1.0f), two = V::splat(2.0f), minus_zero = V::splat(-0.0f);
  const Reg sign = V::bit_and(x, minus_zero);
  const Reg ax = V::bit_xor(x, sign);
  const typename V::Int ix = V::bits(ax);
  const auto from_one = V::greater(ix, V::splat_int(0x3f7fffff));
  t = V::select(V::greater(V::splat_int(0x32800000), ix), V::mul(ax, V::splat(-2.0f)), t);
  const Reg q = V::div(V::select(from_one, two, V::bit_xor(t, minus_zero)), V::add(t, two));
  Reg z = V::select(from_one, V::sub(one, q), q);
  z = V::select(V::greater(ix, V::splat_int(0x41afffff)), V::sub(one, V::splat(C::kTiny)), z);  // |x| >= 22, inf
  z = V::bit_xor(z, sign);
  z = V::select(V::greater(V::splat_int(0x24000000), ix), V::mul(V::add(one, x), x), z);  // |x| < 2^-55, zeros
  return V::select(V::is_nan(x), V::add(x, x), z);  // NaN keeps its payload, made quiet
}

// x[i] = tanhf(x[i]) for a block of N vectors, one step at a time.
template <class V, uint64_t N>
void tanhf_block(typename V::Reg (&x)[N]) {
  typename V::Reg r[N], c[N], e[N];
  typename V::Int k[N];
  for (uint64_t i = 0; i < N; ++i) expm1f_reduce<V>(tanhf_expm1f_argument<V>(x[i]), k[i], r[i], c[i]);
  for (uint64_t i = 0; i < N; ++i) e[i] = expm1f_correction<V>(r[i]);
  for (uint64_t i = 0; i < N; ++i) x[i] = tanhf_finish<V>(x[i], expm1f_reconstruct<V>(k[i], r[i], c[i], e[i]));
}

}  // namespace
}  // namespace qen
