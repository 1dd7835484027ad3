#include "graph_executor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <new>
#include <stdexcept>

#include "model_builder.h"

namespace qen {

struct GraphExecutorProbe {
  static size_t bindings(const GraphExecutor& e) { return e.tensor_map.size(); }
  static const void* arena(const GraphExecutor& e) { return e.arena.get(); }
  static const ModelLoader* loader(const GraphExecutor& e) { return e.loader.get(); }
};

namespace {

using testing::ModelBuilder;
using testing::TempFile;
using Probe = GraphExecutorProbe;

uint32_t add_bytes(ModelBuilder& b, uint32_t size) {
  return b.add_stored<uint8_t>({size}, std::vector<uint8_t>(size), static_cast<uint8_t>(DType::INT8));
}

// A(100) -> B(200) -> C(100) -> D(50): plans to 300 bytes. Returns A and,
// as a second output, D, which nothing binds.
ModelBuilder chain_model() {
  ModelBuilder b;
  const uint32_t a = add_bytes(b, 100), bb = add_bytes(b, 200), c = add_bytes(b, 100), d = add_bytes(b, 50);
  b.add_node(2, a, bb);
  b.add_node(2, bb, c);
  b.add_node(2, c, d);
  b.set_io({a}, {a, d});
  return b;
}

ModelBuilder single_tensor_model(uint32_t size) {
  ModelBuilder b;
  const uint32_t t = add_bytes(b, size);
  b.add_node(2, t, t);
  b.set_io({t}, {t});
  return b;
}

// Two placeholder inputs returned swapped, then an output ID nothing binds.
ModelBuilder swap_model() {
  ModelBuilder b;
  const uint32_t x = b.add_placeholder({1}), y = b.add_placeholder({1});
  b.add_node(2, x, y);
  b.set_io({x, y}, {y, x, 7});
  return b;
}

TensorHandle tensor() { return std::make_shared<TensorView>(nullptr, std::vector<uint32_t>{1}, DType::FP32); }

void load(GraphExecutor& executor, const ModelBuilder& model) {
  const TempFile file(model.bytes());
  executor.load_model(file.path());
}

bool aligned(const void* block) { return reinterpret_cast<uintptr_t>(block) % 64 == 0; }

TEST(GraphExecutor, PeakMemoryFollowsTheInstalledPlan) {
  GraphExecutor executor;
  EXPECT_EQ(executor.peak_memory(), 0u);
  EXPECT_EQ(Probe::arena(executor), nullptr);

  load(executor, chain_model());
  EXPECT_EQ(executor.peak_memory(), 300u);
  const void* first_arena = Probe::arena(executor);
  ASSERT_NE(first_arena, nullptr);
  EXPECT_TRUE(aligned(first_arena));

  load(executor, single_tensor_model(64));
  EXPECT_EQ(executor.peak_memory(), 64u);
  ASSERT_NE(Probe::arena(executor), nullptr);
  EXPECT_TRUE(aligned(Probe::arena(executor)));
}

TEST(GraphExecutor, ZeroTotalPlanLoadsWithAValidArena) {
  GraphExecutor executor;
  load(executor, swap_model());
  EXPECT_EQ(executor.peak_memory(), 0u);
  EXPECT_NE(Probe::arena(executor), nullptr);
}

TEST(GraphExecutor, ExecuteWithoutModelFails) {
  GraphExecutor executor;
  try {
    executor.execute({tensor()});
    FAIL() << "execute ran without a model";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No model loaded");
  }
  EXPECT_EQ(Probe::bindings(executor), 0u);
}

TEST(GraphExecutor, BindsInputsAndReturnsOutputsByID) {
  GraphExecutor executor;
  load(executor, swap_model());
  const TensorHandle a = tensor(), b = tensor(), extra = tensor(), c = tensor();

  // The extra input is ignored; output 7 was never bound and is not added.
  EXPECT_EQ(executor.execute({a, b, extra}), (std::vector<TensorHandle>{b, a, nullptr}));
  EXPECT_EQ(Probe::bindings(executor), 2u);

  // With one input, the second input ID keeps its earlier binding.
  EXPECT_EQ(executor.execute({c}), (std::vector<TensorHandle>{b, c, nullptr}));
  EXPECT_EQ(executor.execute({}), (std::vector<TensorHandle>{b, c, nullptr}));
  EXPECT_EQ(Probe::bindings(executor), 2u);

  // Tensor ID 0 is an output of the next model too; its binding carries over.
  load(executor, chain_model());
  EXPECT_EQ(executor.execute({}), (std::vector<TensorHandle>{c, nullptr}));
  EXPECT_EQ(Probe::bindings(executor), 2u);
}

TEST(GraphExecutor, CountsRewrittenAfterTheOpenAreIgnored) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows refuses every writer while a loader holds the file";
#endif
  const ModelBuilder model = swap_model();
  const TempFile file(model.bytes());
  GraphExecutor executor;
  executor.load_model(file.path());
  file.overwrite(model.graph_offset(), 4 * sizeof(uint32_t), 0xFF);
  const TensorHandle a = tensor(), b = tensor();
  EXPECT_EQ(executor.execute({a, b}), (std::vector<TensorHandle>{b, a, nullptr}));
}

TEST(GraphExecutor, CudaPlansAndBindsWithoutAnArena) {
  GraphExecutor executor(Device::CUDA);
  const TempFile file(chain_model().bytes());
  EXPECT_THROW(executor.load_model(file.path()), std::bad_alloc);
  EXPECT_EQ(executor.peak_memory(), 300u);
  EXPECT_NE(Probe::loader(executor), nullptr);
  EXPECT_EQ(Probe::arena(executor), nullptr);
  const TensorHandle a = tensor();
  EXPECT_EQ(executor.execute({a}), (std::vector<TensorHandle>{a, nullptr}));

  EXPECT_THROW(load(executor, single_tensor_model(64)), std::bad_alloc);
  EXPECT_EQ(executor.peak_memory(), 64u);
  EXPECT_EQ(executor.execute({}), (std::vector<TensorHandle>{a}));
}

TEST(GraphExecutor, CpuArenaTooLargeKeepsModelAndPlan) {
  ModelBuilder huge = single_tensor_model(1);
  huge.tensors[0].data_size = UINT64_MAX - 1;  // only the record claims it
  GraphExecutor executor;
  EXPECT_THROW(load(executor, huge), std::bad_alloc);
  EXPECT_EQ(executor.peak_memory(), UINT64_MAX - 1);
  EXPECT_EQ(Probe::arena(executor), nullptr);
  const TensorHandle a = tensor();
  EXPECT_EQ(executor.execute({a}), (std::vector<TensorHandle>{a}));

  load(executor, chain_model());
  EXPECT_NE(Probe::arena(executor), nullptr);
}

struct RefusedModel {
  const char* name;
  std::function<ModelBuilder()> build;  // none: a path that does not exist
};

class RefusedLoad : public ::testing::TestWithParam<RefusedModel> {};

TEST_P(RefusedLoad, LeavesTheExecutorAsItWas) {
  GraphExecutor executor;
  load(executor, chain_model());
  const TensorHandle a = tensor();
  executor.execute({a});
  const ModelLoader* loader = Probe::loader(executor);
  const void* arena = Probe::arena(executor);

  if (GetParam().build) {
    EXPECT_THROW(load(executor, GetParam().build()), std::runtime_error);
  } else {
    const auto missing = std::filesystem::temp_directory_path() / "qen_missing_dir" / "model.qen";
    EXPECT_THROW(executor.load_model(missing.string()), std::runtime_error);
  }
  EXPECT_EQ(Probe::loader(executor), loader);
  EXPECT_EQ(Probe::arena(executor), arena);
  EXPECT_EQ(executor.peak_memory(), 300u);
  EXPECT_EQ(executor.execute({}), (std::vector<TensorHandle>{a, nullptr}));
  EXPECT_EQ(Probe::bindings(executor), 1u);
}

ModelBuilder wired_model(const std::vector<uint32_t>& inputs, const std::vector<uint32_t>& outputs) {
  ModelBuilder b;
  b.add_placeholder({1});
  b.add_wired_node(inputs, outputs);
  b.set_io({5}, {5});  // differs from the chain's outputs, should it be installed
  return b;
}

// Tensor 1 goes after tensor 0's last byte, at 2^64 - 1, and would end past it.
ModelBuilder past_address_range() {
  ModelBuilder b = wired_model({0, 1}, {});
  b.add_placeholder({1});
  b.tensors[0].data_size = UINT64_MAX;
  b.tensors[1].data_size = 1;
  return b;
}

INSTANTIATE_TEST_SUITE_P(Models, RefusedLoad,
                         ::testing::Values(RefusedModel{"MissingFile", nullptr},
                                           RefusedModel{"SeventeenNodeInputs",
                                                        [] { return wired_model(std::vector<uint32_t>(17, 0), {0}); }},
                                           RefusedModel{"SeventeenNodeOutputs",
                                                        [] { return wired_model({0}, std::vector<uint32_t>(17, 0)); }},
                                           RefusedModel{"PlanPastAddressRange", past_address_range}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qen
