#include "cpu_features.h"

#include <gtest/gtest.h>

namespace qen {
namespace {

// GCC's and Clang's own check reads the same cpuid bits and XCR0 state, and
// is the independent reference here; MSVC has none.
TEST(CpuFeatures, AgreeWithTheCompilersCheck) {
#ifdef _MSC_VER
  GTEST_SKIP() << "MSVC has no __builtin_cpu_supports to compare with";
#else
  __builtin_cpu_init();
  EXPECT_EQ(cpu_has_avx2(), __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(cpu_has_avx512f(), __builtin_cpu_supports("avx512f") != 0);
#endif
}

}  // namespace
}  // namespace qen
