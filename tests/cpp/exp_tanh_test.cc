// Special values of every variant's correctly rounded expf and tanhf; the
// expected bits are the exact values rounded to nearest even (computed with
// arbitrary precision). The exhaustive check covers every other input; a
// sample of them compares the vector forms with the scalar ones wherever
// this suite runs.
#include "kernels/exp_tanh.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "variant_named.h"

namespace qen {
namespace {

struct Special {
  const char* name;
  bool tanh;  // tanhf, else expf
  uint32_t in, out;
};

const Special kSpecials[] = {
    {"ExpNaNStaysQuietWithPayload", false, 0xff812345, 0xffc12345},
    {"ExpPlusInf", false, 0x7f800000, 0x7f800000},
    {"ExpMinusInfIsPlusZero", false, 0xff800000, 0},
    {"ExpZero", false, 0, 0x3f800000},
    {"ExpMinusZero", false, 0x80000000, 0x3f800000},
    {"ExpLeastSubnormalInput", false, 1, 0x3f800000},
    {"ExpJustAboveHalfUlpBelowOne", false, 0xb3000000, 0x3f800000},
    {"ExpJustAboveOne", false, 0x33800000, 0x3f800001},
    {"ExpOne", false, 0x3f800000, 0x402df854},
    {"ExpLargestFinite", false, 0x42b17217, 0x7f7fff84},
    {"ExpOverflow", false, 0x42b17218, 0x7f800000},
    {"ExpLastNormal", false, 0xc2aeac50, 0x007fffe6},
    {"ExpSubnormal", false, 0xc2c80000, 0x1b},
    {"ExpLeastSubnormal", false, 0xc2cff1b4, 1},
    {"ExpUnderflowToZero", false, 0xc2cff1b5, 0},
    {"TanhNaN", true, 0x7fa00001, 0x7fe00001},
    {"TanhZero", true, 0, 0},
    {"TanhMinusZero", true, 0x80000000, 0x80000000},
    {"TanhLeastSubnormal", true, 1, 1},
    {"TanhMinusTiny", true, 0xb9800000, 0xb9800000},
    {"TanhSmall", true, 0x3c000000, 0x3bfffeab},
    {"TanhBelowOneEighth", true, 0x3dffffff, 0x3dfeacc8},
    {"TanhOneEighth", true, 0x3e000000, 0x3dfeacc9},
    {"TanhMinusHalf", true, 0xbf000000, 0xbeec9a9f},
    {"TanhTwo", true, 0x40000000, 0x3f76ca83},
    {"TanhNine", true, 0x41100000, 0x3f7fffff},
    {"TanhTen", true, 0x41200000, 0x3f800000},
    {"TanhMinusInf", true, 0xff800000, 0xbf800000},
};

class SpecialValues : public ::testing::TestWithParam<std::tuple<ExpTanhVariant, Special>> {};

TEST_P(SpecialValues, CorrectlyRounded) {
  const auto& [variant, c] = GetParam();
  if (!testing::variant_named(variant.variant).supported()) GTEST_SKIP() << "this CPU cannot run " << variant.variant;
  uint32_t out = 0x12345678;
  (c.tanh ? variant.tanhf : variant.expf)(&c.in, &out, 1);
  EXPECT_EQ(out, c.out) << std::hex << "0x" << out;
}

INSTANTIATE_TEST_SUITE_P(Table, SpecialValues,
                         ::testing::Combine(::testing::ValuesIn(exp_tanh_variants()), ::testing::ValuesIn(kSpecials)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).variant) + "_" + std::get<1>(info.param).name;
                         });

// Every vector variant's expf and tanhf against the scalar ones on every
// 97th bit pattern (44 million inputs: every exponent, both signs, NaNs,
// subnormals). Where the comparison of all 2^32 inputs with an independent
// reference (libm_exhaustive) cannot run, as under an emulator, this holds
// the vector forms to the scalar bits.
TEST(ExpTanhVariants, GiveTheScalarBitsOnEvery97thBitPattern) {
  constexpr uint64_t kStride = 97, kChunk = 1 << 16;
  const ExpTanhVariant& scalar = exp_tanh_variants().back();
  std::vector<uint32_t> in(kChunk), want(kChunk), got(kChunk);
  for (const ExpTanhVariant& v : exp_tanh_variants()) {
    if (&v == &scalar || !testing::variant_named(v.variant).supported()) continue;
    for (ArrayMath ExpTanhVariant::* f : {&ExpTanhVariant::expf, &ExpTanhVariant::tanhf}) {
      uint64_t differ = 0;
      for (uint64_t first = 0; first <= 0xFFFFFFFFu; first += kChunk * kStride) {
        uint64_t n = 0;
        for (uint64_t b = first; b <= 0xFFFFFFFFu && n < kChunk; b += kStride) in[n++] = static_cast<uint32_t>(b);
        (scalar.*f)(in.data(), want.data(), n);
        (v.*f)(in.data(), got.data(), n);
        for (uint64_t i = 0; i < n; ++i)
          if (got[i] != want[i] && ++differ <= 5)
            ADD_FAILURE() << v.variant << (f == &ExpTanhVariant::expf ? " expf" : " tanhf") << " of bits 0x" << std::hex
                          << in[i] << " gives 0x" << got[i] << ", the scalar one 0x" << want[i];
      }
      EXPECT_EQ(differ, 0u) << v.variant;
    }
  }
}

}  // namespace
}  // namespace qen
