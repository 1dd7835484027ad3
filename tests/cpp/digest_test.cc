// The bits of linear, GELU and softmax pinned across platforms: fixed inputs
// made by integer arithmetic alone (no C library random numbers or math), run
// through every kernel variant this build holds and through the checked entry
// points on two threads, hashed, and compared with digests written here. The
// same digests hold on every CPU, operating system and C library the runtime
// is built for; a change in any output bit of these shapes changes them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kernels.h"

namespace qen {
namespace {

// splitmix64.
struct Numbers {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
  // A float in [-scale, scale): a signed 24-bit integer, converted exactly,
  // times scale * 2^-23 (a power of two, so exact too).
  float uniform(float scale_times_2_to_minus_23) {
    const int32_t i = static_cast<int32_t>(next() >> 40) - (1 << 23);
    return static_cast<float>(i) * scale_times_2_to_minus_23;
  }
};

std::vector<float> inputs(uint64_t seed, size_t count, float scale_times_2_to_minus_23) {
  Numbers numbers{seed};
  std::vector<float> v(count);
  for (float& x : v) x = numbers.uniform(scale_times_2_to_minus_23);
  return v;
}

float from_bits(uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

// FNV-1a over the outputs' little-endian bytes, NaNs as they are.
uint64_t digest(const std::vector<float>& values) {
  uint64_t h = 0xcbf29ce484222325u;
  for (float v : values) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    for (int byte = 0; byte < 4; ++byte) h = (h ^ ((b >> (8 * byte)) & 0xff)) * 0x100000001b3u;
  }
  return h;
}

// Shapes with vector tails everywhere, each big enough that two threads
// share it out: linear [37, 91] x [45, 91]^T, GELU on 12291 values (in
// [-8, 8), and special values), softmax [213, 77] (in [-32, 32), a row
// with -inf and one with values whose exponentials underflow).
constexpr uint32_t kM = 37, kK = 91, kN = 45, kGelu = 12291, kRows = 213, kCols = 77;

const std::vector<float> kLinearX = inputs(1, kM* kK, 0x1p-23f), kLinearW = inputs(2, kN* kK, 0x1p-26f),
                         kLinearB = inputs(3, kN, 0x1p-23f);

std::vector<float> gelu_inputs() {
  std::vector<float> v = inputs(4, kGelu, 0x1p-20f);
  const uint32_t special[] = {0,          0x80000000, 0x7f800000, 0xff800000, 0x7fc00000, 1,          0x80000001,
                              0x41200000, 0xc1200000, 0x7f7fffff, 0xff7fffff, 0x3e000000, 0xbdffffff, 0x1f800000};
  for (size_t i = 0; i < sizeof special / sizeof special[0]; ++i) v[i * 7] = from_bits(special[i]);
  return v;
}

std::vector<float> softmax_inputs() {
  std::vector<float> v = inputs(5, kRows * kCols, 0x1p-18f);
  v[3 * kCols + 5] = from_bits(0xff800000);
  for (uint32_t c = 0; c < kCols; c += 2) v[4 * kCols + c] = -120.0f + static_cast<float>(c);
  return v;
}

struct Outputs {
  std::vector<float> linear, gelu, softmax;
};

Outputs run_variant(const KernelVariant& v) {
  const std::vector<float> g = gelu_inputs(), s = softmax_inputs();
  Outputs out{std::vector<float>(kM * kN), std::vector<float>(kGelu), std::vector<float>(kRows * kCols)};
  v.linear(LinearArgs{kLinearX.data(), kLinearW.data(), kLinearB.data(), out.linear.data(), kM, kN, kK, kN});
  v.gelu(g.data(), out.gelu.data(), kGelu);
  v.softmax(s.data(), out.softmax.data(), kRows, kCols);
  return out;
}

Outputs run_on_two_threads() {
  std::vector<float> x = kLinearX, w = kLinearW, b = kLinearB, g = gelu_inputs(), s = softmax_inputs();
  Outputs out{std::vector<float>(kM * kN), std::vector<float>(kGelu), std::vector<float>(kRows * kCols)};
  TensorView xv(x.data(), {kM, kK}, DType::FP32), wv(w.data(), {kN, kK}, DType::FP32), bv(b.data(), {kN}, DType::FP32);
  TensorView yv(out.linear.data(), {kM, kN}, DType::FP32);
  linear(xv, wv, bv, yv, 2);
  gelu(g.data(), out.gelu.data(), kGelu, 2);
  TensorView sv(s.data(), {kRows, kCols}, DType::FP32), ov(out.softmax.data(), {kRows, kCols}, DType::FP32);
  softmax(sv, ov, 2);
  return out;
}

constexpr uint64_t kLinearDigest = 0x904c4a5dcfd85064, kGeluDigest = 0x7cc2705797d44065,
                   kSoftmaxDigest = 0x47500e1afccb6e1f;

void expect_digests(const Outputs& out, const std::string& where) {
  EXPECT_EQ(digest(out.linear), kLinearDigest) << where << std::hex << " linear 0x" << digest(out.linear);
  EXPECT_EQ(digest(out.gelu), kGeluDigest) << where << std::hex << " gelu 0x" << digest(out.gelu);
  EXPECT_EQ(digest(out.softmax), kSoftmaxDigest) << where << std::hex << " softmax 0x" << digest(out.softmax);
}

TEST(Digests, EveryVariantGivesThePinnedBits) {
  for (const KernelVariant& v : kernel_variants())
    if (v.supported()) expect_digests(run_variant(v), v.name);
  expect_digests(run_on_two_threads(), "two threads");
}

// Infinities, and NaNs of both signs, quiet and signalling, with payloads.
const uint32_t kSpecialBits[] = {0x7f800000, 0xff800000, 0x7fc00000, 0xffc00000,
                                 0x7f800001, 0xff812345, 0x7fdeadbe, 0xffffffff};

// `count` values of `seed`, kSpecialBits[s] at every `every`-th from `first`.
std::vector<float> with_specials(uint64_t seed, size_t count, size_t first, size_t every) {
  std::vector<float> v = inputs(seed, count, 0x1p-21f);
  for (size_t i = first, s = 0; i < count; i += every, ++s) v[i] = from_bits(kSpecialBits[s % std::size(kSpecialBits)]);
  return v;
}

// x [m, k] times w [n, k] transposed, plus b [n].
std::vector<float> run_linear(const KernelVariant& v, const std::vector<float>& x, const std::vector<float>& w,
                              const std::vector<float>& b, uint64_t k) {
  const uint64_t m = x.size() / k, n = b.size();
  std::vector<float> y(m * n);
  v.linear(LinearArgs{x.data(), w.data(), b.data(), y.data(), m, n, k, n});
  return y;
}

std::vector<float> run_gelu(const KernelVariant& v, const std::vector<float>& x) {
  std::vector<float> y(x.size());
  v.gelu(x.data(), y.data(), x.size());
  return y;
}

std::vector<float> run_softmax(const KernelVariant& v, const std::vector<float>& x, uint64_t cols) {
  std::vector<float> y(x.size());
  v.softmax(x.data(), y.data(), x.size() / cols, cols);
  return y;
}

// Linear x [18, 6], w [11, 6]: 18 rows take both the row panels and the
// few-rows way of every vector variant.
constexpr uint64_t kSpecialRows = 18, kSpecialK = 6, kSpecialN = 11, kSpecialCols = 37;

// Softmax rows of 37: one holding +inf, one all -inf, one masked by a
// single -inf, one holding a NaN, one starting with a negative NaN, one
// finite.
std::vector<float> softmax_special_rows() {
  std::vector<float> v = inputs(14, 6 * kSpecialCols, 0x1p-20f);
  const float minus_inf = from_bits(0xff800000);
  v[9] = from_bits(0x7f800000);
  for (uint64_t c = 0; c < kSpecialCols; ++c) v[kSpecialCols + c] = minus_inf;
  v[2 * kSpecialCols + 4] = minus_inf;
  v[3 * kSpecialCols + 20] = from_bits(0x7fdeadbe);
  v[4 * kSpecialCols] = from_bits(0xff812345);
  return v;
}

struct Special {
  const char* name;
  std::vector<float> (*run)(const KernelVariant&);
  uint64_t digest;
};

// The first four make a NaN by arithmetic on infinities (0 * -inf inside
// GELU, inf + -inf, inf - inf, 0 / 0), the rest also pass NaNs through.
const Special kSpecials[] = {
    {"GeluOfMinusInf", [](const KernelVariant& v) { return run_gelu(v, {from_bits(0xff800000)}); }, 0x4a98877f9ba2f898},
    {"LinearInfPlusMinusInf",
     [](const KernelVariant& v) {
       return run_linear(v, {from_bits(0x7f800000), from_bits(0xff800000)}, {1, 1}, {0}, 2);
     },
     0x4a98877f9ba2f898},
    {"SoftmaxRowWithInf", [](const KernelVariant& v) { return run_softmax(v, {1.0f, from_bits(0x7f800000), 2.0f}, 3); },
     0x3a96128d5b3828c8},
    {"SoftmaxRowAllMinusInf",
     [](const KernelVariant& v) { return run_softmax(v, {from_bits(0xff800000), from_bits(0xff800000)}, 2); },
     0xb901c1935e0f1b75},
    {"LinearSpecialsInX",
     [](const KernelVariant& v) {
       return run_linear(v, with_specials(10, kSpecialRows * kSpecialK, 0, 7),
                         inputs(11, kSpecialN * kSpecialK, 0x1p-22f), inputs(12, kSpecialN, 0x1p-22f), kSpecialK);
     },
     0x74e42bbf81b3aa55},
    {"LinearSpecialsInWeights",
     [](const KernelVariant& v) {
       return run_linear(v, inputs(10, kSpecialRows * kSpecialK, 0x1p-22f),
                         with_specials(11, kSpecialN * kSpecialK, 1, 9), with_specials(12, kSpecialN, 10, 11),
                         kSpecialK);
     },
     0x54a2ebc161ba4c86},
    {"GeluSpecials", [](const KernelVariant& v) { return run_gelu(v, with_specials(13, kSpecialCols, 0, 3)); },
     0x1bfddf1bd8defe6f},
    {"SoftmaxSpecialRows", [](const KernelVariant& v) { return run_softmax(v, softmax_special_rows(), kSpecialCols); },
     0x069934199886d3ab},
};

TEST(Digests, SpecialInputsGiveThePinnedBits) {
  for (const Special& s : kSpecials) {
    for (const KernelVariant& v : kernel_variants()) {
      if (!v.supported()) continue;
      const uint64_t got = digest(s.run(v));
      EXPECT_EQ(got, s.digest) << s.name << " " << v.name << std::hex << " 0x" << got;
    }
  }
}

}  // namespace
}  // namespace qen
