// Prints, as one JSON object, the kernel variant this CPU runs and the best
// rates of one core with that variant's vector width: separate multiply and
// add (GFLOP/s, two operations per lane and chain step) and reading buffers
// of the sizes given in MiB on the command line (GB/s), and for comparison
// fused multiply-adds (0 where the width has none); then the rate of every
// vector variant of linear this CPU runs, called directly on a
// compute-bound shape, and of every variant's GELU and softmax. Each rate is
// the median of several runs.
#include "machine_peak.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kernels.h"

namespace {

using qen_bench::PeakLoops;

volatile float sink;

template <typename F>
double median_seconds(int runs, F&& run) {
  std::vector<double> times;
  for (int r = 0; r < runs; ++r) {
    const auto start = std::chrono::steady_clock::now();
    run();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

PeakLoops loops_for([[maybe_unused]] const std::string& variant) {
#ifdef QEN_X86_LOOPS
  if (variant == "avx512") return qen_bench::peak_loops_avx512();
  if (variant == "avx2_fma" || variant == "avx2") return qen_bench::peak_loops_avx2();
#endif
  return qen_bench::peak_loops_baseline();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string variant = qen::active_kernels().name;
  const PeakLoops loops = loops_for(variant);

  constexpr uint64_t kPasses = 20'000'000;
  const double mul_add_s = median_seconds(7, [&] { sink = loops.mul_add(kPasses); });
  const double flops = 2.0 * static_cast<double>(loops.chains * loops.width) * kPasses;
  // A fused step is the same two operations in one instruction.
  const double fused_s = loops.fused_mul_add ? median_seconds(7, [&] { sink = loops.fused_mul_add(kPasses); }) : 0.0;
  std::printf(
      "{\"variant\": \"%s\", \"width\": %llu, \"mul_add_gflops\": %.2f, \"fused_gflops\": %.2f, "
      "\"read_gbps\": {",
      variant.c_str(), static_cast<unsigned long long>(loops.width), flops / mul_add_s / 1e9,
      fused_s > 0 ? flops / fused_s / 1e9 : 0.0);

  for (int i = 1; i < argc; ++i) {
    const uint64_t bytes = std::strtoull(argv[i], nullptr, 10) << 20;
    std::vector<float> data(bytes / sizeof(float), 1.0f);
    const double read_s = median_seconds(7, [&] { sink = loops.read(data.data(), data.size()); });
    std::printf("%s\"%s\": %.2f", i > 1 ? ", " : "", argv[i], static_cast<double>(bytes) / read_s / 1e9);
  }
  std::printf("}, \"linear_gflops\": {");
  // [256, 1024] x [1024, 1024]^T, each variant on the same operands.
  constexpr uint64_t m = 256, k = 1024, n = 1024;
  std::vector<float> x(m * k, 0.5f), w(n * k, 0.25f), b(n, 0.0f), y(m * n);
  const char* separator = "";
  const std::vector<qen::KernelVariant>& variants = qen::kernel_variants();
  for (auto v = variants.begin(); v != variants.end(); ++v) {
    if (!v->supported() || std::string(v->name) == "scalar") continue;
    // A linear kernel that a later variant shares (AVX2 with and without
    // FMA) is measured once, under the later name.
    if (std::any_of(v + 1, variants.end(), [&](const auto& later) { return later.linear == v->linear; })) continue;
    const qen::LinearArgs args{x.data(), w.data(), b.data(), y.data(), m, n, k, n};
    const double seconds = median_seconds(9, [&] { v->linear(args); });
    std::printf("%s\"%s\": %.2f", separator, v->name, 2.0 * m * n * k / seconds / 1e9);
    separator = ", ";
  }
  // GELU and softmax on [256, 4096], each vector variant on the same values
  // (a fixed sawtooth over [-8, 8)), in M elements/s.
  constexpr uint64_t rows = 256, cols = 4096;
  std::vector<float> in(rows * cols), out(rows * cols);
  for (uint64_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i * 7919 % 16384) / 1024.0f - 8.0f;
  for (const bool gelu : {true, false}) {
    std::printf("}, \"%s_mps\": {", gelu ? "gelu" : "softmax");
    separator = "";
    for (const qen::KernelVariant& v : qen::kernel_variants()) {
      if (!v.supported() || std::string(v.name) == "scalar") continue;
      const double seconds = median_seconds(9, [&] {
        if (gelu)
          v.gelu(in.data(), out.data(), in.size());
        else
          v.softmax(in.data(), out.data(), rows, cols);
      });
      std::printf("%s\"%s\": %.1f", separator, v.name, static_cast<double>(in.size()) / seconds / 1e6);
      separator = ", ";
    }
  }
  std::printf("}}\n");
  return 0;
}
