// The guard of the vector expf and tanhf with one pinned value expected
// wrong, as from a C library that computes differently: every check fails
// and the kernels fall back to the C library per element, with the
// reference's bits. The expectation is set before any kernel runs, so these
// tests have their own process and main.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "kernels.h"
#include "kernels/libm_guard.h"
#include "variant_named.h"

namespace qen {
namespace {

using testing::variant_named;

TEST(LibmGuard, RefusesEveryVectorFormOnAWrongPinnedValue) {
  for (const VectorLibm& v : vector_libm_variants()) {
    if (!variant_named(v.variant).supported()) continue;
    EXPECT_EQ(checked_exponentials(v.fused, v.plain), nullptr) << v.variant;
    EXPECT_FALSE(tanhf_follows_c_library(v.tanhf)) << v.variant;
  }
}

// The hard cases of expf and values across all bit patterns, through GELU
// and through softmax rows of 37 (a vector's tail included).
TEST(LibmGuard, FallbackGivesTheReferenceBits) {
  std::vector<float> x{0x1.04845ep+5f, -0x1.f8cbb2p+5f, 0.0f, -0.0f, 1.0f, -10.0f, 22.0f, 0x1p-60f};
  for (uint64_t b = 0; b <= 0xFFFFFFFFu; b += 0x10001) {
    float v;
    const uint32_t bits = static_cast<uint32_t>(b);
    std::memcpy(&v, &bits, sizeof v);
    x.push_back(v);
  }
  x.resize(x.size() / 37 * 37);
  const KernelVariant& scalar = kernel_variants().back();
  std::vector<float> want_gelu(x.size()), want_softmax(x.size());
  scalar.gelu(x.data(), want_gelu.data(), x.size());
  scalar.softmax(x.data(), want_softmax.data(), x.size() / 37, 37);
  for (const VectorLibm& v : vector_libm_variants()) {
    const KernelVariant& variant = variant_named(v.variant);
    if (!variant.supported()) continue;
    std::vector<float> gelu(x.size()), softmax(x.size());
    variant.gelu(x.data(), gelu.data(), x.size());
    variant.softmax(x.data(), softmax.data(), x.size() / 37, 37);
    for (size_t i = 0; i < x.size(); ++i) {
      for (auto [got, want] : {std::pair{gelu[i], want_gelu[i]}, std::pair{softmax[i], want_softmax[i]}}) {
        if (!(std::isnan(got) && std::isnan(want))) {
          ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << v.variant << " element " << i << ": " << got;
        }
      }
    }
  }
}

}  // namespace
}  // namespace qen

int main(int argc, char** argv) {
  qen::expect_wrong_pinned_value_for_testing();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
