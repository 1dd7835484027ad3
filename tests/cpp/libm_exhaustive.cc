// Compares the correctly rounded expf and tanhf of every kernel variant this
// CPU runs, the scalar one included, with an independent reference on all
// 2^32 float inputs, bit for bit, on every core. The reference is the C
// library's double-precision exp or tanh rounded to float; where that double
// lies within 2^-40 (relative) of a float rounding boundary (a midpoint
// between adjacent floats, subnormals and the overflow threshold included),
// MPFR computes the float instead, correctly rounded with binary32's exponent
// range. A NaN input must give that NaN, made quiet. Arguments name the
// functions (expf, tanhf) and the variants (avx512, avx2_fma, avx2, scalar) to check:
// all functions, or all variants, when none is named. Exit status 0 only
// when every check passes.
#include <mpfr.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <thread>
#include <vector>

#include "kernels/exp_tanh.h"
#include "variant_named.h"

namespace {

uint32_t bits_of(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

float float_of(uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

struct Function {
  const char* name;
  double (*in_double)(double);
  int (*in_mpfr)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t);
  qen::ArrayMath qen::ExpTanhVariant::* of_variant;
};

// 2^128 (1 - 2^-25): from there up, rounding to float gives +inf.
constexpr double kOverflow = 0x1.fffffep127 + 0x1p103;

// Whether the positive double d lies within 2^-40 (relative) of a point
// where rounding to float changes: the midpoints next to f, d rounded to
// float, with 2^-150 next to +0 and kOverflow at the top.
bool near_boundary(double d) {
  const float f = static_cast<float>(d), up = std::nextafter(f, std::numeric_limits<float>::infinity());
  const double below = f == 0.0f       ? 0.0
                       : std::isinf(f) ? kOverflow
                                       : 0.5 * (f + static_cast<double>(std::nextafter(f, 0.0f)));
  const double above = std::isinf(up) ? kOverflow : 0.5 * (f + static_cast<double>(up));
  const double tolerance = d * 0x1p-40;
  return std::fabs(d - below) <= tolerance || std::fabs(d - above) <= tolerance;
}

// The correctly rounded float of function f at x, and whether MPFR made it.
float reference(const Function& f, float x, mpfr_t in, mpfr_t out, bool& used_mpfr) {
  used_mpfr = false;
  if (std::isnan(x)) return float_of(bits_of(x) | 0x00400000);
  const double d = f.in_double(static_cast<double>(x));
  if (d == 0.0 || std::isinf(d) || !near_boundary(std::fabs(d))) return static_cast<float>(d);
  used_mpfr = true;
  mpfr_set_flt(in, x, MPFR_RNDN);
  const int inexact = f.in_mpfr(out, in, MPFR_RNDN);
  mpfr_subnormalize(out, mpfr_check_range(out, inexact, MPFR_RNDN), MPFR_RNDN);
  return mpfr_get_flt(out, MPFR_RNDN);
}

struct Check {
  const qen::ExpTanhVariant* variant;
  std::atomic<uint64_t> wrong{0}, nanoseconds{0};
};

// Every float through f's reference and each variant, in chunks shared out
// to one thread per core. Returns how many inputs needed MPFR.
uint64_t run(const Function& f, std::vector<Check>& checks) {
  constexpr uint64_t kChunk = 1u << 16;
  std::atomic<uint64_t> next{0}, mpfr_count{0};
  auto work = [&] {
    // binary32's exponent range, for mpfr_subnormalize (per thread).
    mpfr_set_emin(-148);
    mpfr_set_emax(128);
    mpfr_t in, out;
    mpfr_init2(in, 24);
    mpfr_init2(out, 24);
    std::vector<uint32_t> inputs(kChunk), want(kChunk);
    std::vector<float> got(kChunk);
    for (uint64_t chunk; (chunk = next.fetch_add(kChunk)) < (1ull << 32);) {
      uint64_t used = 0;
      for (uint64_t i = 0; i < kChunk; ++i) {
        inputs[i] = static_cast<uint32_t>(chunk + i);
        bool by_mpfr;
        want[i] = bits_of(reference(f, float_of(inputs[i]), in, out, by_mpfr));
        used += by_mpfr;
      }
      mpfr_count += used;
      for (Check& c : checks) {
        const auto start = std::chrono::steady_clock::now();
        (c.variant->*f.of_variant)(inputs.data(), got.data(), kChunk);
        c.nanoseconds +=
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
        for (uint64_t i = 0; i < kChunk; ++i)
          if (bits_of(got[i]) != want[i] && c.wrong.fetch_add(1) < 20)
            std::printf("  %s %s: input 0x%08x (%a) gives 0x%08x, correctly rounded 0x%08x\n", c.variant->variant,
                        f.name, inputs[i], float_of(inputs[i]), bits_of(got[i]), want[i]);
      }
    }
    mpfr_clear(in);
    mpfr_clear(out);
    mpfr_free_cache();
  };
  const unsigned cores = std::thread::hardware_concurrency() > 1 ? std::thread::hardware_concurrency() : 1;
  std::vector<std::thread> threads(cores);
  for (std::thread& t : threads) t = std::thread(work);
  for (std::thread& t : threads) t.join();
  return mpfr_count;
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
  const Function functions[] = {
      {"expf", [](double x) { return std::exp(x); }, mpfr_exp, &qen::ExpTanhVariant::expf},
      {"tanhf", [](double x) { return std::tanh(x); }, mpfr_tanh, &qen::ExpTanhVariant::tanhf},
  };
  bool ok = true;
  for (const Function& f : functions) {
    if (!wanted(f.name, {"expf", "tanhf"})) continue;
    std::vector<const qen::ExpTanhVariant*> selected;
    for (const qen::ExpTanhVariant& v : qen::exp_tanh_variants()) {
      if (!wanted(v.variant, {"avx512", "avx2_fma", "avx2", "scalar"})) continue;
      if (qen::testing::variant_named(v.variant).supported())
        selected.push_back(&v);
      else
        std::printf("%s %s: not checked, this CPU cannot run it\n", v.variant, f.name);
    }
    std::vector<Check> checks(selected.size());
    for (size_t i = 0; i < selected.size(); ++i) checks[i].variant = selected[i];
    const auto start = std::chrono::steady_clock::now();
    const uint64_t by_mpfr = run(f, checks);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: all 2^32 inputs in %.1f s, %llu of them rounded by MPFR\n", f.name, seconds,
                static_cast<unsigned long long>(by_mpfr));
    for (const Check& c : checks) {
      std::printf("  %s %s: %s (%llu differ), %.1f s in the function\n", c.variant->variant, f.name,
                  c.wrong ? "FAILED" : "passed", static_cast<unsigned long long>(c.wrong.load()),
                  static_cast<double>(c.nanoseconds.load()) * 1e-9);
      ok &= c.wrong == 0;
    }
    std::fflush(stdout);
  }
  return ok ? 0 : 1;
}
