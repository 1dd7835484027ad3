#include "cpu_features.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace qen {
namespace {

// The independent reference: on Linux the kernel's flags in /proc/cpuinfo,
// which it clears for state the OS does not save (XCR0); elsewhere GCC's own
// check of the same cpuid bits and XCR0 (clang's needs a runtime that zig's
// builds lack, and MSVC has none).
TEST(CpuFeatures, AgreeWithAnIndependentCheck) {
#if defined(__linux__)
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line) && line.rfind("flags", 0) != 0) {
  }
  ASSERT_FALSE(line.empty()) << "no flags line in /proc/cpuinfo";
  std::istringstream words(line.substr(line.find(':') + 1));
  bool avx2 = false, avx512f = false, fma = false;
  for (std::string flag; words >> flag;) {
    avx2 |= flag == "avx2";
    avx512f |= flag == "avx512f";
    fma |= flag == "fma";
  }
  EXPECT_EQ(cpu_has_avx2(), avx2);
  EXPECT_EQ(cpu_has_avx512f(), avx512f);
  EXPECT_EQ(cpu_has_fma(), fma);
#elif defined(__GNUC__) && !defined(__clang__)
  __builtin_cpu_init();
  EXPECT_EQ(cpu_has_avx2(), __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(cpu_has_avx512f(), __builtin_cpu_supports("avx512f") != 0);
  EXPECT_EQ(cpu_has_fma(), __builtin_cpu_supports("fma") != 0);
#else
  GTEST_SKIP() << "no independent check of the CPU's features with this compiler";
#endif
}

}  // namespace
}  // namespace qen
