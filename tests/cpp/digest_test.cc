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

// FNV-1a over the outputs' little-endian bytes, every NaN counted as 0x7fc00000.
uint64_t digest(const std::vector<float>& values) {
  uint64_t h = 0xcbf29ce484222325u;
  for (float v : values) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    if ((b & 0x7fffffff) > 0x7f800000) b = 0x7fc00000;
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

}  // namespace
}  // namespace qen
