#include "kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "error_of.h"
#include "variant_named.h"

namespace qen {
namespace {

using testing::error_of;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

uint32_t bits_of(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

float from_bits(uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

// Floats at an odd byte address, with guard bytes on both sides, so that a
// kernel must neither rely on alignment nor write outside its range.
class Buffer {
 public:
  explicit Buffer(size_t count) : raw(2 * kGuard + 1 + count * sizeof(float), kGuardByte), count(count) {}
  explicit Buffer(const std::vector<float>& values) : Buffer(values.size()) {
    if (!values.empty()) std::memcpy(data(), values.data(), values.size() * sizeof(float));
  }
  void* data() { return raw.data() + kGuard + 1; }
  std::vector<float> values() {
    std::vector<float> out(count);
    if (count != 0) std::memcpy(out.data(), data(), count * sizeof(float));
    return out;
  }
  bool guards_intact() const {
    for (size_t i = 0; i < raw.size(); ++i)
      if ((i <= kGuard || i >= kGuard + 1 + count * sizeof(float)) && raw[i] != kGuardByte) return false;
    return true;
  }

 private:
  static constexpr size_t kGuard = 16;
  static constexpr uint8_t kGuardByte = 0xA5;
  std::vector<uint8_t> raw;
  size_t count;
};

// The references write every NaN as the one quiet NaN 0x7fc00000, as the
// kernels must, whatever sign and payload the processor's arithmetic gave it.
float one_nan(float v) { return std::isnan(v) ? from_bits(0x7fc00000) : v; }

// Same bit pattern, NaNs included.
void expect_same_bits(const std::vector<float>& got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i)
    ASSERT_EQ(bits_of(got[i]), bits_of(want[i])) << "element " << i << ": " << got[i] << " vs " << want[i];
}

// Uniform values in [-4, 4); with `specials`, one value in 32 is a NaN (of
// either sign, quiet or signalling, with a payload), an infinity, a signed
// zero, a subnormal or an extreme.
std::vector<float> sample(size_t n, uint32_t seed, bool specials) {
  static const float kSpecial[] = {kNaN,
                                   from_bits(0xffc00000),
                                   from_bits(0x7f800001),
                                   from_bits(0xffa5a5a5),
                                   kInf,
                                   -kInf,
                                   -0.0f,
                                   0.0f,
                                   1e-40f,
                                   -1e-45f,
                                   FLT_MIN,
                                   FLT_MAX,
                                   -1e20f};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> uniform(-4.0f, 4.0f);
  std::vector<float> out(n);
  for (float& v : out) v = specials && rng() % 32 == 0 ? kSpecial[rng() % std::size(kSpecial)] : uniform(rng);
  return out;
}

// Every variant this build holds; a test on one this CPU cannot run is skipped.
std::string variant_name(const KernelVariant& variant) { return variant.name; }

#define SKIP_IF_UNSUPPORTED(variant) \
  if (!(variant).supported()) GTEST_SKIP() << (variant).name << " is not supported by this CPU"

TEST(KernelVariants, ActiveIsTheFirstSupportedAndScalarIsLast) {
  const std::vector<KernelVariant>& variants = kernel_variants();
  ASSERT_FALSE(variants.empty());
  EXPECT_EQ(std::string(variants.back().name), "scalar");
  EXPECT_TRUE(variants.back().supported());
  const auto first = std::find_if(variants.begin(), variants.end(), [](const auto& v) { return v.supported(); });
  EXPECT_EQ(&active_kernels(), &*first);
}

// ---- linear ----

std::vector<float> reference_linear(const std::vector<float>& x, const std::vector<float>& w,
                                    const std::vector<float>& b, size_t m, size_t n, size_t k) {
  std::vector<float> y(m * n);
  for (size_t i = 0; i < m; ++i)
    for (size_t j = 0; j < n; ++j) {
      float acc = 0.0f;
      for (size_t p = 0; p < k; ++p) {
        const float product = w[j * k + p] * x[i * k + p];
        acc = acc + product;
      }
      y[i * n + j] = one_nan(acc + b[j]);
    }
  return y;
}

using LinearShape = std::tuple<uint32_t, uint32_t, uint32_t, bool>;  // M, K, N, specials
class LinearMatchesReference : public ::testing::TestWithParam<LinearShape> {};

TEST_P(LinearMatchesReference, BitForBit) {
  const auto [m, k, n, specials] = GetParam();
  const std::vector<float> x = sample(size_t{m} * k, 1 + m, specials);
  const std::vector<float> w = sample(size_t{n} * k, 2 + n, specials);
  std::vector<float> b = sample(n, 3 + k, specials);
  if (n != 0) b[0] = -0.0f;  // with K = 0 the result is +0.0 + -0.0 = +0.0
  Buffer xb(x), wb(w), bb(b), yb(size_t{m} * n);
  TensorView xv(xb.data(), {m, k}, DType::FP32), wv(wb.data(), {n, k}, DType::FP32);
  TensorView bv(bb.data(), {n}, DType::FP32), yv(yb.data(), {m, n}, DType::FP32);
  linear(xv, wv, bv, yv);
  expect_same_bits(yb.values(), reference_linear(x, w, b, m, n, k));
  EXPECT_TRUE(yb.guards_intact());
}

INSTANTIATE_TEST_SUITE_P(Shapes, LinearMatchesReference,
                         ::testing::Combine(::testing::Values(0u, 1u, 3u, 8u, 17u, 64u),
                                            ::testing::Values(0u, 1u, 3u, 8u, 16u, 17u, 64u),
                                            ::testing::Values(0u, 1u, 3u, 16u, 17u), ::testing::Bool()));

// Sizes on both sides of every tile edge of the vector variants.
constexpr uint32_t kEdges[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 31, 32, 33, 63, 64, 65};

struct LinearCase {
  uint32_t m, k, n;
};

std::vector<LinearCase> linear_cases() {
  std::vector<LinearCase> cases{{0, 5, 3}, {4, 5, 0}, {40, 0, 9}, {3, 0, 9}, {2, 1000, 33}, {33, 1000, 9}};
  for (uint32_t e : kEdges) {
    cases.push_back({e, 19, 17});  // rows: both shapes of work and the partial row blocks
    cases.push_back({1, 20, e});   // outputs, one row
    cases.push_back({40, 20, e});  // outputs, many rows
    cases.push_back({3, e, 9});    // depth, few rows
    cases.push_back({1, e, 17});   // depth, one row: two tiles of outputs
    cases.push_back({33, e, 9});   // depth, many rows
  }
  // Row panels of each width, and rows left over to either shape of work.
  for (uint32_t m : {24u, 25u, 48u, 49u, 97u}) cases.push_back({m, 19, 17});
  // Weight rows 4 KiB apart, which take a tile of other row panels, and
  // one tile of outputs for a row alone.
  for (uint32_t m : {1u, 40u, 97u}) cases.push_back({m, 1024, 17});
  return cases;
}

class LinearVariantMatchesReference : public ::testing::TestWithParam<std::tuple<KernelVariant, LinearCase>> {};

// Specials stay out of the deep cases, where nearly every output would be NaN.
TEST_P(LinearVariantMatchesReference, BitForBit) {
  const auto& [variant, shape] = GetParam();
  SKIP_IF_UNSUPPORTED(variant);
  const auto [m, k, n] = shape;
  const bool specials = k < 100;
  const std::vector<float> x = sample(size_t{m} * k, 10 + m, specials);
  const std::vector<float> w = sample(size_t{n} * k, 20 + n, specials);
  std::vector<float> b = sample(n, 30 + k, specials);
  if (n != 0) b[0] = -0.0f;
  Buffer xb(x), wb(w), bb(b), yb(size_t{m} * n);
  variant.linear(LinearArgs{xb.data(), wb.data(), bb.data(), yb.data(), m, n, k, n});
  expect_same_bits(yb.values(), reference_linear(x, w, b, m, n, k));
  EXPECT_TRUE(yb.guards_intact());
}

INSTANTIATE_TEST_SUITE_P(Variants, LinearVariantMatchesReference,
                         ::testing::Combine(::testing::ValuesIn(kernel_variants()),
                                            ::testing::ValuesIn(linear_cases())),
                         [](const auto& info) {
                           const LinearCase& c = std::get<1>(info.param);
                           return variant_name(std::get<0>(info.param)) + "_M" + std::to_string(c.m) + "_K" +
                                  std::to_string(c.k) + "_N" + std::to_string(c.n) + "_" + std::to_string(info.index);
                         });

// A view's shape and dtype, kept in a fixed array so that the tables below
// stay plain aggregates.
struct Operand {
  std::array<uint32_t, 3> dims;
  size_t ndim;
  DType dtype;
  std::vector<uint32_t> shape() const { return {dims.begin(), dims.begin() + ndim}; }
};

Operand op(std::initializer_list<uint32_t> dims, DType dtype = DType::FP32) {
  Operand out{{}, dims.size(), dtype};
  std::copy(dims.begin(), dims.end(), out.dims.begin());
  return out;
}

struct LinearError {
  const char* name;
  Operand x, w, b, y;
  const char* message;
};

class LinearRefuses : public ::testing::TestWithParam<LinearError> {};

TEST_P(LinearRefuses, BeforeWritingAnything) {
  const LinearError& c = GetParam();
  Buffer xb(64), wb(64), bb(64), yb(64);
  TensorView x(xb.data(), c.x.shape(), c.x.dtype), w(wb.data(), c.w.shape(), c.w.dtype);
  TensorView b(bb.data(), c.b.shape(), c.b.dtype), y(yb.data(), c.y.shape(), c.y.dtype);
  const std::vector<float> before = yb.values();
  EXPECT_EQ(error_of([&] { linear(x, w, b, y); }), c.message);
  expect_same_bits(yb.values(), before);
}

constexpr const char* k2D = "Linear expects 2D tensors";
constexpr const char* kMismatch = "Shape mismatch in linear: input=[2,3], weight=[4,5], expected weight=[4,3]";
constexpr const char* kFp32 = "Only FP32 supported";
constexpr const char* kBias = "Linear bias has fewer elements than the weight has rows";
constexpr const char* kLinearOut = "Linear output must be FP32 [M, N]";
const Operand kX = op({2, 3}), kW = op({4, 3}), kB = op({4}), kY = op({2, 4});
const Operand kInt32X = op({2, 3}, DType::INT32);

// Each row also shows the check order: a later fault never hides an earlier one.
const LinearError kLinearErrors[] = {
    {"X1D", op({6}), kW, kB, kY, k2D},
    {"X3D", op({1, 2, 3}), kW, kB, kY, k2D},
    {"XScalar", op({}), kW, kB, kY, k2D},
    {"W1D", kX, op({12}), kB, kY, k2D},
    {"X1DBeforeWMismatch", op({3}), op({4, 5}), kB, kY, k2D},
    {"Int32X1DIsShapeFirst", op({6}, DType::INT32), kW, kB, kY, k2D},
    {"Mismatch", kX, op({4, 5}), kB, kY, kMismatch},
    {"MismatchShowsFullU32", op({0, 4000000000u}), op({0, 7}), op({0}), op({0, 0}),
     "Shape mismatch in linear: input=[0,4000000000], weight=[0,7], expected weight=[0,4000000000]"},
    {"MismatchBeforeDtype", kInt32X, op({4, 5}), op({1}, DType::INT8), kY, kMismatch},
    {"Int32X", kInt32X, kW, kB, kY, kFp32},
    {"Fp16W", kX, op({4, 3}, DType::FP16), kB, kY, kFp32},
    {"Int32B", kX, kW, op({4}, DType::INT32), kY, kFp32},
    {"DtypeBeforeBiasCount", kX, kW, op({2}, DType::INT8), kY, kFp32},
    {"ShortBias", kX, kW, op({3}), kY, kBias},
    {"ShortBias2D", kX, kW, op({1, 3}), kY, kBias},
    {"OutputWrongShape", kX, kW, kB, op({4, 2}), kLinearOut},
    {"OutputInt32", kX, kW, kB, op({2, 4}, DType::INT32), kLinearOut}};

INSTANTIATE_TEST_SUITE_P(Messages, LinearRefuses, ::testing::ValuesIn(kLinearErrors),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- relu and gelu ----

float reference_relu(float v) { return v > 0.0f ? v : 0.0f; }

// Correctly rounded expf and tanhf that are not the runtime's: the C
// library's double functions rounded to float. Rounding twice can differ
// from the correct rounding only for inputs whose value lies within about
// 2^-53 of a float midpoint, none of which the inputs here hit (the
// exhaustive check, libm_exhaustive, compares with MPFR where it matters).
float reference_expf(float v) { return static_cast<float>(std::exp(static_cast<double>(v))); }
float reference_tanhf(float v) { return static_cast<float>(std::tanh(static_cast<double>(v))); }

float reference_gelu(float v) {
  const float cubic = from_bits(0x3D372713), scale = from_bits(0x3F4C422A);
  float t = v * v;
  t = t * v;
  t = t * cubic;
  t = t + v;
  t = t * scale;
  t = reference_tanhf(t);
  t = t + 1.0f;
  const float u = v * 0.5f;
  return one_nan(t * u);
}

struct Elementwise {
  const char* name;
  void (*KernelVariant::*kernel)(const void*, void*, uint64_t);
  float (*reference)(float);
};

const Elementwise kElementwise[] = {{"Relu", &KernelVariant::relu, reference_relu},
                                    {"Gelu", &KernelVariant::gelu, reference_gelu}};

std::vector<float> map_each(float (*reference)(float), const std::vector<float>& x) {
  std::vector<float> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = reference(x[i]);
  return y;
}

using ElementwiseCase = std::tuple<KernelVariant, Elementwise, uint32_t>;
class ElementwiseMatchesReference : public ::testing::TestWithParam<ElementwiseCase> {};

TEST_P(ElementwiseMatchesReference, BitForBit) {
  const auto& [variant, op, n] = GetParam();
  SKIP_IF_UNSUPPORTED(variant);
  const std::vector<float> x = sample(n, n, true);
  Buffer xb(x), yb(n);
  (variant.*op.kernel)(xb.data(), yb.data(), n);
  expect_same_bits(yb.values(), map_each(op.reference, x));
  EXPECT_TRUE(yb.guards_intact());
}

// The vector edges, and those of the blocks of 16 vectors GELU works in.
INSTANTIATE_TEST_SUITE_P(Lengths, ElementwiseMatchesReference,
                         ::testing::Combine(::testing::ValuesIn(kernel_variants()), ::testing::ValuesIn(kElementwise),
                                            ::testing::Values(0u, 1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 63u,
                                                              64u, 65u, 127u, 128u, 129u, 255u, 256u, 257u, 1000u)),
                         [](const auto& info) {
                           return variant_name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name + "_" +
                                  std::to_string(std::get<2>(info.param));
                         });

class ElementwiseSweep : public ::testing::TestWithParam<std::tuple<KernelVariant, Elementwise>> {};

// Every 65537th bit pattern: all exponents, both signs, NaNs and subnormals.
TEST_P(ElementwiseSweep, AcrossBitPatterns) {
  const auto& [variant, op] = GetParam();
  SKIP_IF_UNSUPPORTED(variant);
  std::vector<float> x;
  for (uint64_t b = 0; b <= 0xFFFFFFFFu; b += 65537) x.push_back(from_bits(static_cast<uint32_t>(b)));
  for (float v : {0.0f, -0.0f, kInf, -kInf, kNaN, -kNaN, 1e-45f, -1e-45f}) x.push_back(v);
  Buffer xb(x), yb(x.size());
  (variant.*op.kernel)(xb.data(), yb.data(), x.size());
  expect_same_bits(yb.values(), map_each(op.reference, x));
}

INSTANTIATE_TEST_SUITE_P(Ops, ElementwiseSweep,
                         ::testing::Combine(::testing::ValuesIn(kernel_variants()), ::testing::ValuesIn(kElementwise)),
                         [](const auto& info) {
                           return variant_name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                         });

struct Pinned {
  void (*kernel)(const void*, void*, uint64_t);
  float in;
  uint32_t out_bits;
};

class PinnedValues : public ::testing::TestWithParam<Pinned> {};

TEST_P(PinnedValues, Exact) {
  float y = 1.0f;
  GetParam().kernel(&GetParam().in, &y, 1);
  EXPECT_EQ(bits_of(y), GetParam().out_bits) << y;
}

INSTANTIATE_TEST_SUITE_P(Values, PinnedValues,
                         ::testing::Values(Pinned{relu, -0.0f, 0}, Pinned{relu, kNaN, 0}, Pinned{relu, -kNaN, 0},
                                           Pinned{relu, -3.0f, 0}, Pinned{relu, -1e-45f, 0},
                                           Pinned{relu, kInf, bits_of(kInf)}, Pinned{relu, 1e-45f, 1},
                                           Pinned{gelu, 0.0f, 0}, Pinned{gelu, -10.0f, 0x80000000u},
                                           Pinned{gelu, kInf, bits_of(kInf)}, Pinned{gelu, -kInf, 0x7fc00000u},
                                           Pinned{gelu, from_bits(0xffc00001), 0x7fc00000u}));

TEST(Gelu, OneIsAboutPoint841192) {
  float y = 0.0f;
  const float one = 1.0f;
  gelu(&one, &y, 1);
  EXPECT_NEAR(y, 0.841192f, 1e-6f);
}

// ---- softmax ----

std::vector<float> reference_softmax(const std::vector<float>& x, size_t rows, size_t cols) {
  std::vector<float> y(x.size());
  for (size_t r = 0; r < rows && cols != 0; ++r) {
    const float* in = &x[r * cols];
    float* out = &y[r * cols];
    float m = in[0];
    for (size_t c = 1; c < cols; ++c)
      if (in[c] > m) m = in[c];
    float s = 0.0f;
    for (size_t c = 0; c < cols; ++c) {
      out[c] = reference_expf(in[c] - m);
      s = s + out[c];
    }
    for (size_t c = 0; c < cols; ++c) out[c] = one_nan(out[c] / s);
  }
  return y;
}

// Through the checked entry point, or straight into one variant.
std::vector<float> run_softmax(const std::vector<float>& x, uint32_t rows, uint32_t cols,
                               const KernelVariant* variant = nullptr) {
  Buffer xb(x), yb(x.size());
  TensorView xv(xb.data(), {rows, cols}, DType::FP32), yv(yb.data(), {rows, cols}, DType::FP32);
  if (variant == nullptr)
    softmax(xv, yv);
  else
    variant->softmax(xb.data(), yb.data(), rows, cols);
  EXPECT_TRUE(yb.guards_intact());
  return yb.values();
}

TEST(Softmax, EntryPointMatchesReference) {
  const std::vector<float> x = sample(3 * 40, 7, true);
  expect_same_bits(run_softmax(x, 3, 40), reference_softmax(x, 3, 40));
}

using SoftmaxShape = std::tuple<KernelVariant, uint32_t, uint32_t, bool>;  // R, C, specials
class SoftmaxMatchesReference : public ::testing::TestWithParam<SoftmaxShape> {};

TEST_P(SoftmaxMatchesReference, BitForBit) {
  const auto& [variant, rows, cols, specials] = GetParam();
  SKIP_IF_UNSUPPORTED(variant);
  std::vector<float> x = sample(size_t{rows} * cols, rows * 100 + cols, specials);
  for (float& v : x) v *= 8.0f;  // wide enough that exp underflows in places
  expect_same_bits(run_softmax(x, rows, cols, &variant), reference_softmax(x, rows, cols));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SoftmaxMatchesReference,
    ::testing::Combine(::testing::ValuesIn(kernel_variants()), ::testing::Values(0u, 1u, 3u, 8u, 13u, 17u),
                       ::testing::Values(0u, 1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 1000u),
                       ::testing::Bool()),
    [](const auto& info) {
      return variant_name(std::get<0>(info.param)) + "_R" + std::to_string(std::get<1>(info.param)) + "_C" +
             std::to_string(std::get<2>(info.param)) + (std::get<3>(info.param) ? "_specials" : "");
    });

struct SoftmaxRow {
  const char* name;
  std::vector<float> row;
  std::vector<float> expected;  // NaN where NaN is expected
};

class SoftmaxSpecialRows : public ::testing::TestWithParam<std::tuple<KernelVariant, SoftmaxRow>> {};

TEST_P(SoftmaxSpecialRows, MatchReferenceAndExpectation) {
  const auto& [variant, c] = GetParam();
  SKIP_IF_UNSUPPORTED(variant);
  const auto cols = static_cast<uint32_t>(c.row.size());
  const std::vector<float> got = run_softmax(c.row, 1, cols, &variant);
  expect_same_bits(got, reference_softmax(c.row, 1, cols));
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(c.expected[i]))
      EXPECT_TRUE(std::isnan(got[i])) << i;
    else
      EXPECT_NEAR(got[i], c.expected[i], 1e-6f) << i;
  }
}

// A row of `count` values: `first`, then `rest`; the expectation is `first_out`, then `rest_out`.
SoftmaxRow long_row(const char* name, uint32_t count, float first, float rest, float first_out, float rest_out) {
  SoftmaxRow row{name, std::vector<float>(count, rest), std::vector<float>(count, rest_out)};
  row.row[0] = first;
  row.expected[0] = first_out;
  return row;
}

const SoftmaxRow kSoftmaxRows[] = {{"SingleFinite", {-123.0f}, {1.0f}},
                                   {"SingleInf", {kInf}, {kNaN}},
                                   {"SingleMinusInf", {-kInf}, {kNaN}},
                                   {"SingleNaN", {kNaN}, {kNaN}},
                                   {"ContainsInf", {1.0f, kInf, 2.0f}, {kNaN, kNaN, kNaN}},
                                   {"AllMinusInf", {-kInf, -kInf}, {kNaN, kNaN}},
                                   {"Large", {1000.0f, 1001.0f}, {0.268941421f, 0.731058579f}},
                                   {"NaNFirstStaysMax", {kNaN, 5.0f}, {kNaN, kNaN}},
                                   {"MinusInfEntry", {-kInf, 0.0f}, {0.0f, 1.0f}},
                                   // Rows long enough for the vector maximum.
                                   long_row("LongNaNFirstStaysMax", 40, kNaN, 5.0f, kNaN, kNaN),
                                   long_row("LongSignedZeroTie", 40, -0.0f, 0.0f, 0.025f, 0.025f),
                                   long_row("LongMinusInfRest", 40, 3.0f, -kInf, 1.0f, 0.0f)};

INSTANTIATE_TEST_SUITE_P(Rows, SoftmaxSpecialRows,
                         ::testing::Combine(::testing::ValuesIn(kernel_variants()), ::testing::ValuesIn(kSoftmaxRows)),
                         [](const auto& info) {
                           return variant_name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                         });

struct SoftmaxError {
  const char* name;
  Operand x, y;
  const char* message;
};

class SoftmaxRefuses : public ::testing::TestWithParam<SoftmaxError> {};

TEST_P(SoftmaxRefuses, BeforeWritingAnything) {
  const SoftmaxError& c = GetParam();
  Buffer xb(64), yb(64);
  TensorView x(xb.data(), c.x.shape(), c.x.dtype), y(yb.data(), c.y.shape(), c.y.dtype);
  const std::vector<float> before = yb.values();
  EXPECT_EQ(error_of([&] { softmax(x, y); }), c.message);
  expect_same_bits(yb.values(), before);
}

constexpr const char* kSoftmax2D = "Softmax only supports 2D tensors";
constexpr const char* kSoftmaxOut = "Softmax output must be FP32 of the input's shape";

const SoftmaxError kSoftmaxErrors[] = {{"Int32NotEven2D", op({2, 3, 4}, DType::INT32), op({2, 3, 4}), kFp32},
                                       {"Int32", op({2, 3}, DType::INT32), op({2, 3}), kFp32},
                                       {"ThreeD", op({2, 3, 4}), op({2, 3, 4}), kSoftmax2D},
                                       {"OneD", op({6}), op({6}), kSoftmax2D},
                                       {"Scalar", op({}), op({}), kSoftmax2D},
                                       {"OutputWrongShape", op({2, 3}), op({3, 2}), kSoftmaxOut},
                                       {"OutputFp16", op({2, 3}), op({2, 3}, DType::FP16), kSoftmaxOut}};

INSTANTIATE_TEST_SUITE_P(Messages, SoftmaxRefuses, ::testing::ValuesIn(kSoftmaxErrors),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- threads ----

enum class Kernel { Linear, Relu, Gelu, Softmax };

// Extents big enough that every thread count below gets several parts:
// linear M, K, N; relu and gelu n; softmax R, C.
struct Split {
  const char* name;
  Kernel kernel;
  uint32_t a, b = 0, c = 0;
};

const Split kSplits[] = {{"LinearRowsAndColumns", Kernel::Linear, 67, 129, 50},
                         {"LinearOneRow", Kernel::Linear, 1, 1000, 333},
                         {"LinearFewRows", Kernel::Linear, 5, 700, 129},
                         {"LinearManyNarrowRows", Kernel::Linear, 300, 64, 17},
                         {"Relu", Kernel::Relu, 300001},
                         {"Gelu", Kernel::Gelu, 20001},
                         {"Softmax", Kernel::Softmax, 37, 1001}};

class ThreadsKeepTheBits : public ::testing::TestWithParam<std::tuple<Split, unsigned>> {};

// Through the checked entry points, so that the parts come from the thread
// pool; guard bytes show that no part writes outside its block.
TEST_P(ThreadsKeepTheBits, MatchReference) {
  const auto& [c, threads] = GetParam();
  const bool dense = c.kernel == Kernel::Linear;
  const size_t outputs = dense ? size_t{c.a} * c.c : size_t{c.a} * std::max(c.b, 1u);
  const std::vector<float> x = sample(dense ? size_t{c.a} * c.b : outputs, 41, !dense);
  const std::vector<float> w = sample(size_t{c.c} * c.b, 42, false), b = sample(c.c, 43, true);
  Buffer xb(x), wb(w), bb(b), yb(outputs);
  TensorView xv(xb.data(), {c.a, c.b}, DType::FP32), wv(wb.data(), {c.c, c.b}, DType::FP32);
  TensorView bv(bb.data(), {c.c}, DType::FP32), yv(yb.data(), {c.a, dense ? c.c : c.b}, DType::FP32);
  std::vector<float> want;
  switch (c.kernel) {
    case Kernel::Linear: linear(xv, wv, bv, yv, threads), want = reference_linear(x, w, b, c.a, c.c, c.b); break;
    case Kernel::Softmax: softmax(xv, yv, threads), want = reference_softmax(x, c.a, c.b); break;
    case Kernel::Relu: relu(xb.data(), yb.data(), c.a, threads), want = map_each(reference_relu, x); break;
    case Kernel::Gelu: gelu(xb.data(), yb.data(), c.a, threads), want = map_each(reference_gelu, x); break;
  }
  expect_same_bits(yb.values(), want);
  EXPECT_TRUE(yb.guards_intact());
}

INSTANTIATE_TEST_SUITE_P(Splits, ThreadsKeepTheBits,
                         ::testing::Combine(::testing::ValuesIn(kSplits), ::testing::Values(1u, 2u, 3u, 7u)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_threads" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace qen
