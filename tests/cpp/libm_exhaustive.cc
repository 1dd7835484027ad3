// Compares the vector expf and tanhf of every kernel variant this CPU runs
// with the C library's, bit for bit, on all 2^32 float inputs, on every core.
// For expf it checks the form the guard picks for this process (the one that
// follows the C library's FMA or baseline build); run it again as
// `GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA libm_exhaustive expf` to check the
// other one. Arguments name the functions (expf, tanhf) and the variants
// (avx512, avx2) to check; all functions, or all variants, when none is
// named. Exit status 0 only when every check passes, or when the C
// library is not the one the vector math follows (the guard then never lets
// it run).
#include <gnu/libc-version.h>
#include <math.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <ctime>
#include <thread>
#include <vector>

#include "kernels.h"
#include "kernels/libm_guard.h"
#include "variant_named.h"

namespace {

using qen::Exponentials;

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
  const std::clock_t cpu_start = std::clock();
  const uint64_t wrong = mismatches(vector, reference);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu_seconds = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  std::printf("%s %s: %s on all 2^32 inputs (%llu differ), %.1f s (%.1f s of CPU time)\n", variant, function,
              wrong ? "FAILED" : "passed", static_cast<unsigned long long>(wrong), seconds, cpu_seconds);
  std::fflush(stdout);
  return wrong == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Whether `name` is in argv, or argv names none of `kind`.
  auto wanted = [&](const char* name, std::initializer_list<const char*> kind) {
    bool any = false;
    for (int i = 1; i < argc; ++i)
      for (const char* k : kind)
        if (std::strcmp(argv[i], k) == 0) {
          if (std::strcmp(argv[i], name) == 0) return true;
          any = true;
        }
    return !any;
  };
  auto wanted_function = [&](const char* f) { return wanted(f, {"expf", "tanhf"}); };
  if (std::strcmp(gnu_get_libc_version(), qen::kFollowedLibcVersion) != 0) {
    std::printf("not checked: the C library is %s, the vector math follows %s and is not used on it\n",
                gnu_get_libc_version(), qen::kFollowedLibcVersion);
    return 0;
  }
  bool ok = true;
  for (const qen::VectorLibm& v : qen::vector_libm_variants()) {
    if (!wanted(v.variant, {"avx512", "avx2"})) continue;
    if (!qen::testing::variant_named(v.variant).supported()) {
      std::printf("%s: not checked, this CPU cannot run it\n", v.variant);
      continue;
    }
    const Exponentials exponentials = qen::checked_exponentials(v.fused, v.plain);
    if (exponentials == nullptr || !qen::tanhf_follows_c_library(v.tanhf)) {
      std::printf("%s: the guard refuses the vector code for this C library\n", v.variant);
      ok = false;
      continue;
    }
    const char* expf_form = exponentials == v.fused ? "expf (FMA build)" : "expf (baseline build)";
    if (wanted_function("expf"))
      ok &= check(v.variant, expf_form, [&](const void* x, void* y, uint64_t n) {
        const float zero = 0.0f;
        float sum;
        exponentials(x, y, 1, n, &zero, &sum);
      }, expf);
    if (wanted_function("tanhf")) ok &= check(v.variant, "tanhf", v.tanhf, tanhf);
  }
  return ok ? 0 : 1;
}
