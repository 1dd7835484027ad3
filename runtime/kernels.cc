#include "kernels.h"

#include <cstdio>
#include <stdexcept>

#include "cpu_features.h"
#include "thread_pool.h"

namespace qen {
namespace {

bool always() { return true; }

#ifdef QEN_X86_KERNELS
// The AVX-512 expf and tanhf use fused double multiply-adds, which every
// AVX-512F CPU has; the check keeps the table honest all the same.
bool avx512_with_fma() { return cpu_has_avx512f() && cpu_has_fma(); }
// Every AVX2 CPU since 2013 has FMA too; the few without it take the
// variant after this one, whose expf and tanhf round each multiply-add twice.
bool avx2_with_fma() { return cpu_has_avx2() && cpu_has_fma(); }
#endif

void require_fp32(const TensorView& t) {
  if (t.dtype != DType::FP32) throw std::runtime_error("Only FP32 supported");
}

bool has_shape(const TensorView& t, uint32_t rows, uint32_t cols) {
  return t.shape.size() == 2 && t.shape[0] == rows && t.shape[1] == cols;
}

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// Element `index` of a float array at any byte address.
const void* at(const void* base, uint64_t index) { return static_cast<const unsigned char*>(base) + index * 4; }
void* at(void* base, uint64_t index) { return static_cast<unsigned char*>(base) + index * 4; }

// Parts per thread: more than one, so that a thread that starts late (on a
// busy machine) leaves its share to the others.
constexpr uint64_t kPartsPerThread = 4;

// How many parts `work` units make when no part may be smaller than `grain`
// units: at most kPartsPerThread per thread, and 1 for a single thread.
uint64_t part_count(uint64_t work, uint64_t grain, unsigned threads) {
  if (threads <= 1) return 1;
  const uint64_t most = work / grain;
  const uint64_t wanted = kPartsPerThread * threads;
  return most < 1 ? 1 : most < wanted ? most : wanted;
}

// Least work per part, in multiply-adds for linear and elements otherwise,
// each some microseconds on one core: well above the cost of handing a part
// to a worker that is awake.
constexpr uint64_t kLinearGrain = 1 << 15;
constexpr uint64_t kReluGrain = 1 << 16;
constexpr uint64_t kGeluGrain = 1 << 12;
constexpr uint64_t kSoftmaxGrain = 1 << 13;

// Parts of linear are blocks of whole rows (in multiples of kRowStep, which
// is a whole number of every variant's row panels) times blocks of whole
// columns (multiples of kColumnStep, whole output tiles): many rows are cut
// into row blocks first, few rows into column blocks.
constexpr uint64_t kRowStep = 64, kColumnStep = 16;

// The variant's linear, or another variant's where that one is faster for
// this shape; all give the same bits. The rule is fixed, and chosen so that
// it never gives up much on a CPU that was not measured: AVX-512 is kept
// wherever the CPU has it (CPUs with full-width 512-bit units run it up to
// twice as fast as AVX2), except where weight rows are a multiple of 1024
// values (4 KiB) long, so that those of one tile all map to one L1 set and
// evict each other (no x86 L1 has 16 ways):
// - fewer rows than an AVX-512 vector go the transposing way, which walks 16
//   weight rows at once; AVX2's 8 at once read 1.7 times faster (Zen 4), and
//   that holds on any such cache, whatever the vendor;
// - many rows, on a CPU that runs 512-bit operations in two halves (Zen 4),
//   where AVX-512's narrower tile for those rows runs about 20 % behind
//   AVX2's, which has no width to gain there.
void (*linear_kernel(const KernelVariant& kernels, [[maybe_unused]] const LinearArgs& a))(const LinearArgs&) {
#ifdef QEN_X86_KERNELS
  static const bool split_512 = cpu_splits_512_bit_operations();
  if (kernels.linear == linear_f32_avx512 && a.k % 1024 == 0 && (a.m < 16 || split_512)) return linear_f32_avx2;
#endif
  return kernels.linear;
}

void run_linear(const KernelVariant& variant, const LinearArgs& a, unsigned threads) {
  const auto kernel = linear_kernel(variant, a);
  // Multiply-adds. M and N are 32-bit extents, so their product fits; with
  // K it may not, and is then capped.
  uint64_t work = a.m * a.n;
  work = a.k != 0 && work > UINT64_MAX / a.k ? UINT64_MAX : work * a.k;
  const uint64_t parts = part_count(work, kLinearGrain, threads);
  if (parts <= 1) return kernel(a);
  const uint64_t row_steps = ceil_div(a.m, kRowStep), column_steps = ceil_div(a.n, kColumnStep);
  const uint64_t row_blocks = parts < row_steps ? parts : row_steps;
  const uint64_t column_parts = ceil_div(parts, row_blocks);
  const uint64_t column_blocks = column_parts < column_steps ? column_parts : column_steps;
  const uint64_t rows = ceil_div(row_steps, row_blocks) * kRowStep;
  const uint64_t cols = ceil_div(column_steps, column_blocks) * kColumnStep;
  const uint64_t column_count = ceil_div(a.n, cols);
  parallel_for(ceil_div(a.m, rows) * column_count, threads, [&](uint64_t part) {
    const uint64_t i0 = part / column_count * rows, j0 = part % column_count * cols;
    LinearArgs block = a;
    block.x = at(a.x, i0 * a.k);
    block.w = at(a.w, j0 * a.k);
    block.b = at(a.b, j0);
    block.y = at(a.y, i0 * a.y_stride + j0);
    block.m = a.m - i0 < rows ? a.m - i0 : rows;
    block.n = a.n - j0 < cols ? a.n - j0 : cols;
    kernel(block);
  });
}

// An elementwise kernel over n values in ranges of whole 256-value blocks.
void run_elementwise(void (*kernel)(const void*, void*, uint64_t), const void* x, void* y, uint64_t n, uint64_t grain,
                     unsigned threads) {
  constexpr uint64_t kStep = 256;
  const uint64_t parts = part_count(n, grain, threads);
  if (parts <= 1) return kernel(x, y, n);
  const uint64_t range = ceil_div(ceil_div(n, kStep), parts) * kStep;
  parallel_for(ceil_div(n, range), threads, [&](uint64_t part) {
    const uint64_t first = part * range;
    kernel(at(x, first), at(y, first), n - first < range ? n - first : range);
  });
}

}  // namespace

const std::vector<KernelVariant>& kernel_variants() {
  // Never destroyed: a thread that Python does not join may still be running
  // a kernel while the process exits.
  static const auto* const variants = new std::vector<KernelVariant>{
#ifdef QEN_X86_KERNELS
      {"avx512", avx512_with_fma, linear_f32_avx512, relu_f32_avx512, gelu_f32_avx512, softmax_f32_avx512},
      {"avx2_fma", avx2_with_fma, linear_f32_avx2, relu_f32_avx2, gelu_f32_avx2_fma, softmax_f32_avx2_fma},
      {"avx2", cpu_has_avx2, linear_f32_avx2, relu_f32_avx2, gelu_f32_avx2, softmax_f32_avx2},
#endif
#ifdef QEN_NEON_KERNELS
      {"neon", always, linear_f32_neon, relu_f32_neon, gelu_f32_neon, softmax_f32_neon},
#endif
      {"scalar", always, linear_f32_scalar, relu_f32_scalar, gelu_f32_scalar, softmax_f32_scalar}};
  return *variants;
}

const KernelVariant& active_kernels() {
  static const KernelVariant& chosen = []() -> const KernelVariant& {
    for (const KernelVariant& variant : kernel_variants())
      if (variant.supported()) return variant;
    return kernel_variants().back();
  }();
  return chosen;
}

void linear(const TensorView& x, const TensorView& w, const TensorView& b, TensorView& y, unsigned threads) {
  if (x.shape.size() != 2 || w.shape.size() != 2) throw std::runtime_error("Linear expects 2D tensors");
  const uint32_t m = x.shape[0], k = x.shape[1], n = w.shape[0], wk = w.shape[1];
  if (wk != k) {
    char message[256];
    std::snprintf(message, sizeof message,
                  "Shape mismatch in linear: input=[%u,%u], weight=[%u,%u], expected weight=[%u,%u]", m, k, n, wk, n,
                  k);
    throw std::runtime_error(message);
  }
  require_fp32(x);
  require_fp32(w);
  require_fp32(b);
  // The kernel reads N bias values and writes M*N outputs; both must exist.
  if (b.element_count() < n) throw std::runtime_error("Linear bias has fewer elements than the weight has rows");
  if (y.dtype != DType::FP32 || !has_shape(y, m, n)) throw std::runtime_error("Linear output must be FP32 [M, N]");
  run_linear(active_kernels(), LinearArgs{x.data, w.data, b.data, y.data, m, n, k, n}, threads);
}

void softmax(const TensorView& x, TensorView& y, unsigned threads) {
  require_fp32(x);
  if (x.shape.size() != 2) throw std::runtime_error("Softmax only supports 2D tensors");
  if (y.dtype != DType::FP32 || !has_shape(y, x.shape[0], x.shape[1]))
    throw std::runtime_error("Softmax output must be FP32 of the input's shape");
  const uint64_t rows = x.shape[0], cols = x.shape[1];
  auto kernel = active_kernels().softmax;
  const uint64_t parts = part_count(rows * cols, kSoftmaxGrain, threads);
  if (parts <= 1) return kernel(x.data, y.data, rows, cols);
  const uint64_t block = ceil_div(rows, parts);
  parallel_for(ceil_div(rows, block), threads, [&](uint64_t part) {
    const uint64_t first = part * block;
    kernel(at(x.data, first * cols), at(y.data, first * cols), rows - first < block ? rows - first : block, cols);
  });
}

void relu(const void* x, void* y, uint64_t n) { active_kernels().relu(x, y, n); }

void gelu(const void* x, void* y, uint64_t n) { active_kernels().gelu(x, y, n); }

void relu(const void* x, void* y, uint64_t n, unsigned threads) {
  run_elementwise(active_kernels().relu, x, y, n, kReluGrain, threads);
}

void gelu(const void* x, void* y, uint64_t n, unsigned threads) {
  run_elementwise(active_kernels().gelu, x, y, n, kGeluGrain, threads);
}

}  // namespace qen
