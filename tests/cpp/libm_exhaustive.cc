// Compares the vector expf and tanhf of every kernel variant this CPU runs
// with the C library's, bit for bit, on all 2^32 float inputs, on every core.
// For expf it checks the form the guard picks for this process (the one that
// follows the C library's FMA or baseline build); run it again with
// GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2 to check the other one.
// Exit status 0 only when every variant passes.
#include <math.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "kernels/libm_guard.h"

namespace {

using qen::Exponentials;
using qen::VectorTanhf;

struct Variant {
  const char* name;
  const char* feature;
  Exponentials fused, plain;
  VectorTanhf tanhf;
};

const Variant kVariants[] = {
    {"avx512", "avx512f", qen::exponentials_fma_avx512, qen::exponentials_avx512, qen::tanhf_f32_avx512},
    {"avx2", "avx2", qen::exponentials_fma_avx2, qen::exponentials_avx2, qen::tanhf_f32_avx2},
};

bool cpu_has(const char* feature) {
  __builtin_cpu_init();
  return std::strcmp(feature, "avx512f") == 0 ? __builtin_cpu_supports("avx512f") : __builtin_cpu_supports("avx2");
}

uint32_t bits_of(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// Runs `vector` on every float, in chunks shared out to one thread per core,
// and counts the results whose bits differ from `reference`'s.
template <class Vector>
uint64_t mismatches(Vector vector, float (*reference)(float)) {
  constexpr uint64_t kChunk = 1u << 16;
  std::atomic<uint64_t> next{0}, wrong{0};
  auto work = [&] {
    std::vector<uint32_t> in(kChunk);
    std::vector<float> out(kChunk);
    for (uint64_t chunk; (chunk = next.fetch_add(kChunk)) < (1ull << 32);) {
      for (uint64_t i = 0; i < kChunk; ++i) in[i] = static_cast<uint32_t>(chunk + i);
      vector(in.data(), out.data(), kChunk);
      for (uint64_t i = 0; i < kChunk; ++i) {
        float x;
        std::memcpy(&x, &in[i], sizeof x);
        const uint32_t want = bits_of(reference(x)), got = bits_of(out[i]);
        if (got != want && wrong.fetch_add(1) < 10)
          std::printf("  input 0x%08x (%a): 0x%08x, the C library 0x%08x\n", in[i], x, got, want);
      }
    }
  };
  std::vector<std::thread> threads(std::thread::hardware_concurrency() > 1 ? std::thread::hardware_concurrency() : 1);
  for (std::thread& t : threads) t = std::thread(work);
  for (std::thread& t : threads) t.join();
  return wrong;
}

template <class Vector>
bool check(const char* variant, const char* function, Vector vector, float (*reference)(float)) {
  const auto start = std::chrono::steady_clock::now();
  const uint64_t wrong = mismatches(vector, reference);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s %s: %s on all 2^32 inputs (%llu differ), %.1f s\n", variant, function, wrong ? "FAILED" : "passed",
              static_cast<unsigned long long>(wrong), seconds);
  std::fflush(stdout);
  return wrong == 0;
}

}  // namespace

int main() {
  bool ok = true;
  for (const Variant& v : kVariants) {
    if (!cpu_has(v.feature)) {
      std::printf("%s: not checked, this CPU lacks %s\n", v.name, v.feature);
      continue;
    }
    const Exponentials exponentials = qen::checked_exponentials(v.fused, v.plain);
    if (exponentials == nullptr || !qen::tanhf_follows_c_library(v.tanhf)) {
      std::printf("%s: the guard refuses the vector code for this C library\n", v.name);
      ok = false;
      continue;
    }
    const char* expf_form = exponentials == v.fused ? "expf (FMA build)" : "expf (baseline build)";
    ok &= check(v.name, expf_form, [&](const void* x, void* y, uint64_t n) { exponentials(x, y, n, 0.0f); }, expf);
    ok &= check(v.name, "tanhf", v.tanhf, tanhf);
  }
  return ok ? 0 : 1;
}
