#include "cpu_features.h"

#include <cstdint>

// MSVC has neither <cpuid.h> nor GNU inline assembly; its <intrin.h> has
// __cpuidex and _xgetbv (clang-cl defines _MSC_VER and takes them too).
#ifdef _MSC_VER
#include <intrin.h>
#else
#include <cpuid.h>
#endif

namespace qen {
namespace {

struct CpuidResult {
  uint32_t eax, ebx, ecx, edx;
};

CpuidResult cpuid(uint32_t leaf, uint32_t subleaf) {
#ifdef _MSC_VER
  int r[4];
  __cpuidex(r, static_cast<int>(leaf), static_cast<int>(subleaf));
  return {static_cast<uint32_t>(r[0]), static_cast<uint32_t>(r[1]), static_cast<uint32_t>(r[2]),
          static_cast<uint32_t>(r[3])};
#else
  CpuidResult r{};
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
#endif
}

// XCR0: the register state the operating system saves. Only read once
// cpuid has reported OSXSAVE, without which xgetbv faults.
uint64_t saved_state() {
#ifdef _MSC_VER
  return _xgetbv(0);
#else
  uint32_t low = 0, high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return uint64_t{high} << 32 | low;
#endif
}

constexpr uint32_t kFma = 1u << 12, kOsxsave = 1u << 27, kAvx = 1u << 28;  // leaf 1, ECX
constexpr uint32_t kAvx2 = 1u << 5, kAvx512f = 1u << 16;                   // leaf 7, EBX
constexpr uint64_t kYmmState = 0x06;                                       // XMM and the upper halves of YMM
constexpr uint64_t kZmmState = 0xE6;                                       // those, the opmasks and all of ZMM

// Whether the CPU has AVX and the system saves `state`.
bool saves(uint64_t state) {
  if ((cpuid(1, 0).ecx & (kOsxsave | kAvx)) != (kOsxsave | kAvx)) return false;
  return (saved_state() & state) == state;
}

// Whether leaf 7 reports `feature` and the system saves `state`.
bool supports(uint32_t feature, uint64_t state) {
  return cpuid(0, 0).eax >= 7 && saves(state) && (cpuid(7, 0).ebx & feature) != 0;
}

}  // namespace

bool cpu_has_avx2() { return supports(kAvx2, kYmmState); }
#ifdef QEN_EMULATE_AVX512
// The test build whose AVX-512 kernels are made of AVX2 and FMA instructions.
bool cpu_has_avx512f() { return cpu_has_avx2() && cpu_has_fma(); }
#else
bool cpu_has_avx512f() { return supports(kAvx512f, kZmmState); }
#endif
bool cpu_has_fma() { return saves(kYmmState) && (cpuid(1, 0).ecx & kFma) != 0; }

bool cpu_splits_512_bit_operations() {
  const CpuidResult vendor = cpuid(0, 0);
  const bool amd = vendor.ebx == 0x68747541 && vendor.edx == 0x69746e65 && vendor.ecx == 0x444d4163;  // "AuthenticAMD"
  const uint32_t signature = cpuid(1, 0).eax, base_family = signature >> 8 & 0xf;
  const uint32_t family = base_family == 0xf ? base_family + (signature >> 20 & 0xff) : base_family;
  return amd && family == 0x19;
}

}  // namespace qen
