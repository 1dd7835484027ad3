#include "qen/engine.h"

#include <gtest/gtest.h>

#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "error_of.h"
#include "model_builder.h"
#include "thread_pool.h"

namespace qen {

// Read access to an engine's tensor map.
class EngineProbe {
 public:
  static size_t map_size(const Engine& e) { return e.tensor_map.size(); }
  static bool has(const Engine& e, uint32_t id) { return e.tensor_map.count(id) != 0; }
  static TensorHandle entry(const Engine& e, uint32_t id) { return e.tensor_map.at(id); }
};

namespace {

using testing::error_of;
using testing::ModelBuilder;
using testing::TempFile;

constexpr uint16_t kLinear = 1, kReLU = 2, kGELU = 3, kSoftmax = 4;

TensorHandle borrow(std::vector<float>& values, std::vector<uint32_t> shape) {
  return std::make_shared<TensorView>(values.data(), std::move(shape), DType::FP32);
}

std::vector<float> values_of(const TensorHandle& t) {
  std::vector<float> out(t->size_bytes / sizeof(float));
  if (!out.empty()) std::memcpy(out.data(), t->data, t->size_bytes);
  return out;
}

// x [2,3] (id 0) -> Linear with W [4,3] (id 1), b [4] (id 2) -> h (id 3)
// -> ReLU -> y (id 4). The values keep every sum exact.
enum MlpId : uint32_t { kX = 0, kW = 1, kBias = 2, kH = 3, kY = 4 };

ModelBuilder mlp(float w_scale = 1.0f) {
  ModelBuilder b;
  b.add_placeholder({2, 3});
  std::vector<float> w{1, 0, 0, 0, 1, 0, 0, 0, 1, -1, -1, -1};
  for (float& v : w) v *= w_scale;
  b.add_stored<float>({4, 3}, w);
  b.add_stored<float>({4}, std::vector<float>{0.5f, 0, 0, 100});
  b.add_placeholder({2, 4});
  b.add_placeholder({2, 4});
  b.add_node(kLinear, kX, kH, kW, kBias);
  b.add_node(kReLU, kH, kY);
  b.set_io({kX}, {kY});
  return b;
}

Engine loaded(const TempFile& file) {
  Engine engine;
  engine.load_model(file.path());
  return engine;
}

std::vector<float> mlp_input{1, 2, 3, -4, 5, -6};
const std::vector<float> kMlpOut{1.5f, 2, 3, 94, 0, 5, 0, 105};

TEST(Engine, ConstructionByDevice) {
  EXPECT_EQ(error_of([] { Engine e(Device::CUDA); }), "CUDA support not compiled");
  Engine cpu(Device::CPU);
  EXPECT_EQ(cpu.peak_memory_usage(), 0u);
  EXPECT_EQ(error_of([&] { cpu.run({}); }), "No model loaded");
  EXPECT_EQ(error_of([] { Engine e(static_cast<Device>(2)); }), "");
}

TEST(Engine, RunsTheGraphAndReturnsItsOutputs) {
  TempFile file(mlp().bytes());
  Engine engine = loaded(file);
  const std::vector<TensorHandle> out = engine.run({borrow(mlp_input, {2, 3})});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]->shape, (std::vector<uint32_t>{2, 4}));
  EXPECT_EQ(out[0]->dtype, DType::FP32);
  EXPECT_TRUE(out[0]->owns_data);
  EXPECT_EQ(values_of(out[0]), kMlpOut);
  EXPECT_EQ(out[0], EngineProbe::entry(engine, kY));  // shared, not copied
}

TEST(Engine, ZeroNodeGraphReturnsBoundInputsAndEmptyHandles) {
  ModelBuilder b;
  b.add_placeholder({2, 3});
  b.add_placeholder({2, 3});
  b.set_io({0, 1}, {1, 7, 0});
  TempFile file(b.bytes());
  Engine engine = loaded(file);
  const TensorHandle a = borrow(mlp_input, {2, 3}), c = borrow(mlp_input, {3, 2});
  const std::vector<TensorHandle> out = engine.run({a, c});
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], c);
  EXPECT_EQ(out[1], nullptr);  // nothing produced tensor 7
  EXPECT_EQ(out[2], a);
  EXPECT_EQ(EngineProbe::map_size(engine), 2u);  // the lookup inserted nothing
  EXPECT_FALSE(EngineProbe::has(engine, 7));
}

TEST(Engine, InputListLongerOrShorterThanTheGraphs) {
  ModelBuilder m = mlp();
  m.add_placeholder({2, 3});  // id 5, a second input read by a third node
  m.add_node(kGELU, 5, 6);
  m.set_io({kX, 5}, {kY});
  TempFile file(m.bytes());
  Engine engine = loaded(file);

  EXPECT_EQ(error_of([&] { engine.run({borrow(mlp_input, {2, 3})}); }),
            "Cannot load placeholder tensor - it has no data");
  const TensorHandle extra = borrow(mlp_input, {2, 3});
  const std::vector<TensorHandle> out = engine.run({borrow(mlp_input, {2, 3}), borrow(mlp_input, {2, 3}), extra});
  EXPECT_EQ(values_of(out[0]), kMlpOut);
  EXPECT_EQ(extra.use_count(), 1);  // the third handle was not bound
}

TEST(Engine, StopRequestEndsTheRunBeforeTheNextNode) {
  TempFile file(mlp().bytes());
  Engine engine = loaded(file);
  int asked = 0;
  EXPECT_THROW(engine.run({borrow(mlp_input, {2, 3})}, [&] { return ++asked == 1; }), RunStopped);
  EXPECT_EQ(asked, 1);                        // asked between the two nodes only
  EXPECT_TRUE(EngineProbe::has(engine, kH));  // the Linear output stays, the ReLU's was never made
  EXPECT_FALSE(EngineProbe::has(engine, kY));
  EXPECT_EQ(values_of(engine.run({borrow(mlp_input, {2, 3})}, [] { return false; })[0]), kMlpOut);
}

class UnsupportedOp : public ::testing::TestWithParam<uint16_t> {};

TEST_P(UnsupportedOp, FailsAtRunBeforeFetchingAnything) {
  ModelBuilder b;
  b.add_placeholder({1});
  b.add_node(GetParam(), 999, 1);  // an input ID the loader would refuse
  b.set_io({}, {1});
  TempFile file(b.bytes());
  Engine engine;
  ASSERT_EQ(error_of([&] { engine.load_model(file.path()); }), "");
  EXPECT_EQ(error_of([&] { engine.run({}); }), "Unsupported op type: " + std::to_string(GetParam()));
  EXPECT_EQ(EngineProbe::map_size(engine), 0u);
  EXPECT_EQ(engine.peak_memory_usage(), 0u);
}

INSTANTIATE_TEST_SUITE_P(OpTypes, UnsupportedOp, ::testing::Values(0, 5, 65535));

struct NodeFailure {
  const char* name;
  uint16_t op;
  std::vector<uint32_t> input_shape;
  DType input_dtype;
  std::vector<uint32_t> weight_shape;
  const char* message;
  uint64_t peak;  // node 0's 24 bytes, plus node 1's output if it was allocated
};

class NodeFails : public ::testing::TestWithParam<NodeFailure> {};

// Node 0 succeeds, node 1 fails: the map keeps what came before and the
// failing node stores nothing.
TEST_P(NodeFails, KeepingEarlierEntries) {
  const NodeFailure& c = GetParam();
  ModelBuilder b;
  b.add_placeholder({2, 3});                                              // 0: graph input
  b.add_placeholder(c.input_shape, static_cast<uint8_t>(c.input_dtype));  // 1: second input
  b.add_stored<float>(c.weight_shape, std::vector<float>(27, 1.0f));      // 2: weight
  b.add_stored<float>({8}, std::vector<float>(8, 0.0f));                  // 3: bias
  b.add_node(kReLU, 0, 4);
  b.add_node(c.op, 1, 5, 2, 3);
  b.set_io({0, 1}, {5});
  TempFile file(b.bytes());
  Engine engine = loaded(file);
  std::vector<float> storage(64, 1.0f);
  const TensorHandle second = std::make_shared<TensorView>(storage.data(), c.input_shape, c.input_dtype);
  EXPECT_EQ(error_of([&] { engine.run({borrow(mlp_input, {2, 3}), second}); }), c.message);
  EXPECT_TRUE(EngineProbe::has(engine, 0));
  EXPECT_TRUE(EngineProbe::has(engine, 4));
  EXPECT_FALSE(EngineProbe::has(engine, 5));
  EXPECT_EQ(engine.peak_memory_usage(), c.peak);
}

const NodeFailure kNodeFailures[] = {
    {"LinearMismatch",
     kLinear,
     {2, 3},
     DType::FP32,
     {4, 5},
     "Shape mismatch in linear: input=[2,3], weight=[4,5], expected weight=[4,3]",
     24 + 32},
    {"LinearScalarInput", kLinear, {}, DType::FP32, {4, 3}, "Linear expects 2D tensors", 24},
    {"LinearScalarWeight", kLinear, {2, 3}, DType::FP32, {}, "Linear expects 2D tensors", 24},
    {"Linear3DInput", kLinear, {2, 3, 1}, DType::FP32, {4, 3}, "Linear expects 2D tensors", 24 + 32},
    {"LinearInt32Input", kLinear, {2, 3}, DType::INT32, {4, 3}, "Only FP32 supported", 24 + 32},
    {"LinearShortBias",
     kLinear,
     {2, 3},
     DType::FP32,
     {9, 3},
     "Linear bias has fewer elements than the weight has rows",
     24 + 72},
    {"ReluInt32", kReLU, {2, 3}, DType::INT32, {1}, "Only FP32 supported", 24 + 24},
    {"GeluFp16", kGELU, {2, 3}, DType::FP16, {1}, "Only FP32 supported", 24 + 12},
    {"SoftmaxInt32", kSoftmax, {2, 3, 4}, DType::INT32, {1}, "Only FP32 supported", 24 + 96},
    {"Softmax3D", kSoftmax, {2, 3, 4}, DType::FP32, {1}, "Softmax only supports 2D tensors", 24 + 96}};

INSTANTIATE_TEST_SUITE_P(Nodes, NodeFails, ::testing::ValuesIn(kNodeFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Engine, FetchErrorsComeFromTheLoader) {
  ModelBuilder b;
  b.add_placeholder({2, 3});
  b.add_node(kReLU, 3, 0);  // tensor 3 does not exist
  b.set_io({}, {0});
  TempFile file(b.bytes());
  Engine engine = loaded(file);
  EXPECT_THROW(engine.run({}), std::out_of_range);
  EXPECT_EQ(error_of([&] { engine.run({}); }), "Invalid tensor ID");
}

TEST(Engine, SecondRunReusesCachedWeightsAndMakesNewOutputs) {
  TempFile file(mlp().bytes());
  Engine engine = loaded(file);
  const std::vector<TensorHandle> first = engine.run({borrow(mlp_input, {2, 3})});
  const TensorHandle weight = EngineProbe::entry(engine, kW);
  EXPECT_FALSE(weight->owns_data);
  const std::vector<TensorHandle> second = engine.run({borrow(mlp_input, {2, 3})});
  EXPECT_EQ(EngineProbe::entry(engine, kW), weight);
  EXPECT_EQ(EngineProbe::entry(engine, kW)->data, weight->data);
  EXPECT_NE(second[0], first[0]);
  EXPECT_NE(second[0]->data, first[0]->data);
  EXPECT_EQ(values_of(second[0]), values_of(first[0]));
}

// Node 0 reads weight 1; node 1 then writes tensor 1. The second run's
// node 0 reads node 1's output from the first run instead of the file.
// Every count comes from the header validated at open, so rewriting the
// mapped file's counts to 2^32 - 1 changes nothing about what is read.
TEST(Engine, CountsRewrittenAfterTheOpenAreIgnored) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows refuses every writer while a loader holds the file";
#endif
  const ModelBuilder b = mlp();
  TempFile file(b.bytes());
  Engine engine = loaded(file);
  file.overwrite(b.graph_offset(), 4 * sizeof(uint32_t), 0xFF);
  EXPECT_EQ(values_of(engine.run({borrow(mlp_input, {2, 3})})[0]), kMlpOut);
}

TEST(Engine, NodeOutputShadowsAWeightForLaterRuns) {
  ModelBuilder b;
  b.add_placeholder({2, 2});                                    // 0: x
  b.add_stored<float>({2, 2}, std::vector<float>{1, 0, 0, 1});  // 1: W, identity
  b.add_stored<float>({2}, std::vector<float>{0, 0});           // 2: b
  b.add_placeholder({2, 2});                                    // 3: y
  b.add_node(kLinear, 0, 3, 1, 2);
  b.add_node(kReLU, 3, 1);
  b.set_io({0}, {3});
  TempFile file(b.bytes());
  Engine engine = loaded(file);
  std::vector<float> x{1, 2, -3, 4};
  EXPECT_EQ(values_of(engine.run({borrow(x, {2, 2})})[0]), x);
  // W is now relu(x) = [[1, 2], [0, 4]]; y = x W^T.
  EXPECT_EQ(values_of(engine.run({borrow(x, {2, 2})})[0]), (std::vector<float>{5, 8, 5, 16}));
}

TEST(Engine, OutputMayReplaceItsOwnInput) {
  ModelBuilder b;
  b.add_placeholder({2, 3});
  b.add_node(kReLU, 0, 0);
  b.add_node(kGELU, 0, 0);
  b.add_node(kSoftmax, 0, 0);
  b.set_io({0}, {0});
  TempFile file(b.bytes());
  Engine engine = loaded(file);
  std::vector<float> x{0, 0, 0, -1, -2, -3};
  const std::vector<float> before = x;
  const std::vector<TensorHandle> out = engine.run({borrow(x, {2, 3})});
  EXPECT_EQ(x, before);  // the caller's array is read, never written
  for (float v : values_of(out[0])) EXPECT_NEAR(v, 1.0f / 3, 1e-6f);
}

TEST(Engine, FailedLoadKeepsTheOldModelAndItsCache) {
  TempFile file(mlp().bytes());
  Engine engine = loaded(file);
  engine.run({borrow(mlp_input, {2, 3})});
  const TensorHandle weight = EngineProbe::entry(engine, kW);
  const std::string missing = file.path() + ".missing";
  EXPECT_EQ(error_of([&] { engine.load_model(missing); }), "Failed to open file: " + missing);
  EXPECT_EQ(EngineProbe::entry(engine, kW), weight);
  EXPECT_EQ(values_of(engine.run({borrow(mlp_input, {2, 3})})[0]), kMlpOut);
}

TEST(Engine, ReloadEmptiesTheMapSoTheNewModelIsRead) {
  TempFile a(mlp().bytes()), b(mlp(2.0f).bytes());
  Engine engine;
  engine.load_model(a.path());
  engine.run({borrow(mlp_input, {2, 3})});
  EXPECT_EQ(EngineProbe::map_size(engine), 5u);
  engine.load_model(b.path());
  EXPECT_EQ(EngineProbe::map_size(engine), 0u);
  EXPECT_EQ(values_of(engine.run({borrow(mlp_input, {2, 3})})[0]), (std::vector<float>{2.5f, 4, 6, 88, 0, 10, 0, 110}));
}

// Tensor 1 is a graph input bound to an empty handle, and stored in the
// file: the node reading it gets the stored value. Tensor 5 is an output
// nothing produces.
TEST(Engine, EmptyHandleCountsAsAbsent) {
  ModelBuilder b;
  b.add_placeholder({1, 2});
  b.add_stored<float>({1, 2}, std::vector<float>{-1, 3});
  b.add_placeholder({1, 2});
  b.add_node(kReLU, 1, 2);
  b.set_io({1}, {2, 5});
  TempFile file(b.bytes());
  Engine engine = loaded(file);
  const std::vector<TensorHandle> out = engine.run({nullptr});
  EXPECT_EQ(values_of(out[0]), (std::vector<float>{0, 3}));
  EXPECT_EQ(out[1], nullptr);
  EXPECT_FALSE(EngineProbe::has(engine, 5));
}

class OtherDevice : public ::testing::TestWithParam<uint16_t> {};

TEST_P(OtherDevice, FailsEveryOpBeforeStoring) {
  ModelBuilder b;
  b.add_placeholder({2, 3});
  b.add_stored<float>({4, 3}, std::vector<float>(12, 1.0f));
  b.add_stored<float>({4}, std::vector<float>(4, 0.0f));
  b.add_node(GetParam(), 0, 3, 1, 2);
  b.set_io({0}, {3});
  TempFile file(b.bytes());
  Engine engine(static_cast<Device>(2));
  engine.load_model(file.path());
  EXPECT_EQ(error_of([&] { engine.run({borrow(mlp_input, {2, 3})}); }), "CUDA not implemented yet");
  EXPECT_FALSE(EngineProbe::has(engine, 3));
}

INSTANTIATE_TEST_SUITE_P(Ops, OtherDevice, ::testing::Values(kLinear, kReLU, kGELU, kSoftmax));

struct PeakCase {
  const char* name;
  bool output_over_input;     // a last node writes its output under the bound input's ID
  uint64_t after_run[3];      // peak_memory_usage after each of three runs
  uint64_t after_reload_run;  // after a reload of the same file and one more run
};

class PeakMemory : public ::testing::TestWithParam<PeakCase> {};

// h and y take 32 bytes each. From the second run on, a node allocates its
// output while the previous run's output under the same ID is still held;
// binding an input releases a node output stored under the input's ID, and
// a reload releases every output.
TEST_P(PeakMemory, CountsNodeOutputsHeldAtOnce) {
  const PeakCase& c = GetParam();
  ModelBuilder m = mlp();
  if (c.output_over_input) m.add_node(kGELU, kY, kX);
  TempFile file(m.bytes());
  Engine engine = loaded(file);
  for (uint64_t expected : c.after_run) {
    engine.run({borrow(mlp_input, {2, 3})});
    EXPECT_EQ(engine.peak_memory_usage(), expected);
  }
  engine.load_model(file.path());
  engine.run({borrow(mlp_input, {2, 3})});
  EXPECT_EQ(engine.peak_memory_usage(), c.after_reload_run);
}

INSTANTIATE_TEST_SUITE_P(Graphs, PeakMemory,
                         ::testing::Values(PeakCase{"Chain", false, {64, 96, 96}, 96},
                                           PeakCase{"OutputOverInput", true, {96, 96, 96}, 96}),
                         [](const auto& info) { return std::string(info.param.name); });

// x [200,129] -> Linear to 150 -> GELU -> Linear to 170 -> Softmax: every
// node is large enough to be cut into parts when threads are given.
TEST(Engine, EveryThreadCountGivesTheBitsOfOne) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
  auto values = [&](size_t n) {
    std::vector<float> v(n);
    for (float& e : v) e = uniform(rng);
    return v;
  };
  ModelBuilder b;
  b.add_placeholder({200, 129});
  b.add_stored<float>({150, 129}, values(150 * 129));
  b.add_stored<float>({150}, values(150));
  b.add_stored<float>({170, 150}, values(170 * 150));
  b.add_stored<float>({170}, values(170));
  for (int i = 0; i < 4; ++i) b.add_placeholder({});
  b.add_node(kLinear, 0, 5, 1, 2);
  b.add_node(kGELU, 5, 6);
  b.add_node(kLinear, 6, 7, 3, 4);
  b.add_node(kSoftmax, 7, 8);
  b.set_io({0}, {8});
  TempFile file(b.bytes());
  std::vector<float> input = values(200 * 129);
  const std::vector<float> want = values_of(loaded(file).run({borrow(input, {200, 129})})[0]);
  for (int threads : {0, 2, 3, 7}) {
    Engine engine(Device::CPU, threads);
    engine.load_model(file.path());
    for (int run = 0; run < 2; ++run) {
      const std::vector<float> got = values_of(engine.run({borrow(input, {200, 129})})[0]);
      ASSERT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)), 0) << threads << " threads";
    }
  }
}

TEST(Engine, ThreadCountZeroMeansEveryAvailableCore) {
#if defined(__linux__)
  cpu_set_t cores;
  ASSERT_EQ(sched_getaffinity(0, sizeof cores, &cores), 0);
  EXPECT_EQ(resolve_thread_count(0), static_cast<unsigned>(CPU_COUNT(&cores)));
#else
  EXPECT_EQ(resolve_thread_count(0), std::max(1u, std::thread::hardware_concurrency()));
#endif
  EXPECT_THROW(Engine(Device::CPU, -1), std::invalid_argument);
}

}  // namespace
}  // namespace qen
