// Fuzzes GraphExecutor with arbitrary file bytes as the model, on CPU and on
// CUDA: load it, then execute twice with the fixed inputs.
//
// Checked beyond the sanitizers:
// - Both devices refuse the same files. On CUDA every other load ends in
//   std::bad_alloc, as it has no arena; on CPU it succeeds (for a plan within
//   kMaxArenaBytes). Both report the plan's total.
// - That plan, made again by MemoryPlanner, names each tensor once, gives
//   tensors alive at a common node disjoint bytes and totals the highest end.
// - execute returns under each output ID the input last bound to it, or an
//   empty handle, and the inputs come back untouched; after a refused load it
//   fails with "No model loaded".
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "bound_inputs.h"
#include "graph_executor.h"
#include "memory_planner.h"
#include "model_file.h"
#include "qen/model_loader.h"

namespace {

using qen::fuzzing::require;

// An arena is as large as the file's data sizes say, which nothing bounds: a
// plan past this size is loaded on CUDA only, where it allocates nothing. On
// CPU the runtime would rightly ask for gigabytes, which libFuzzer's malloc
// limit would report although nothing is wrong.
constexpr uint64_t kMaxArenaBytes = uint64_t{64} << 20;

enum class Load { kWithArena, kWithoutArena, kRefused };

Load load(qen::GraphExecutor& executor, const std::string& path, size_t file_size) {
  try {
    executor.load_model(path);
    return Load::kWithArena;
  } catch (const std::bad_alloc&) {
    return Load::kWithoutArena;
  } catch (const std::exception& e) {
    qen::fuzzing::expect_model_error(e, file_size);
    return Load::kRefused;
  }
}

void require_sound(const qen::MemoryPlan& plan, uint32_t num_nodes) {
  std::set<uint32_t> planned;
  uint64_t highest = 0;
  for (size_t a = 0; a < plan.entries.size(); ++a) {
    const qen::PlanEntry& p = plan.entries[a];
    require(planned.insert(p.tensor_id).second, "a tensor is planned twice");
    require(p.first_use <= p.last_use && p.offset <= UINT64_MAX - p.size, "a plan entry is malformed");
    highest = std::max(highest, p.offset + p.size);
    for (size_t b = 0; b < a; ++b) {
      const qen::PlanEntry& q = plan.entries[b];
      const bool alive_together = p.first_use <= q.last_use && q.first_use <= p.last_use;
      const bool share_bytes =
          p.size != 0 && q.size != 0 && p.offset < q.offset + q.size && q.offset < p.offset + p.size;
      require(!(alive_together && share_bytes), "tensors alive at a common node share bytes");
    }
  }
  require(highest == plan.total_size, "the plan's total is not its highest end");
  require(plan.execution_order.size() == num_nodes, "the execution order does not list every node");
  for (uint32_t i = 0; i < num_nodes; ++i) require(plan.execution_order[i] == i, "the nodes run out of order");
}

// Executes twice: each output is the input bound last under its ID, or empty.
void require_binding(qen::GraphExecutor& executor, const qen::GraphHeader& graph,
                     const qen::fuzzing::BoundInputs& inputs) {
  const std::vector<qen::TensorHandle>& given = inputs.handles();
  std::vector<qen::TensorHandle> expected;
  for (uint32_t j = 0; j < graph.num_outputs; ++j) {
    qen::TensorHandle bound;
    for (uint32_t i = 0; i < graph.num_inputs && i < given.size(); ++i)
      if (graph.input_ids[i] == graph.output_ids[j]) bound = given[i];
    expected.push_back(bound);
  }
  for (int pass = 0; pass < 2; ++pass) {
    const std::vector<qen::TensorHandle> outputs = executor.execute(given);
    require(outputs == expected, "execute returned other tensors than those bound to the output IDs");
    inputs.require_unchanged();
  }
}

void require_no_model(qen::GraphExecutor& executor, const qen::fuzzing::BoundInputs& inputs) {
  try {
    executor.execute(inputs.handles());
  } catch (const std::runtime_error& e) {
    require(std::strcmp(e.what(), "No model loaded") == 0, "execute after a refused load failed otherwise");
    return;
  }
  require(false, "execute after a refused load succeeded");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qen::fuzzing::MemoryFile file;
  file.assign(data, size);
  const qen::fuzzing::BoundInputs inputs;
  qen::GraphExecutor cuda(qen::Device::CUDA);
  const Load on_cuda = load(cuda, file.path(), size);
  require(on_cuda != Load::kWithArena, "a CUDA executor loaded a model with an arena");
  if (on_cuda == Load::kRefused) {
    qen::GraphExecutor cpu(qen::Device::CPU);
    require(load(cpu, file.path(), size) == Load::kRefused, "a CPU executor loaded a model that CUDA refused");
    for (qen::GraphExecutor* executor : {&cuda, &cpu}) {
      require(executor->peak_memory() == 0, "a refused load left a plan");
      require_no_model(*executor, inputs);
    }
    return 0;
  }

  const qen::ModelLoader loader(file.path());
  const qen::GraphHeader graph = loader.graph_info();
  const qen::MemoryPlan plan = qen::MemoryPlanner().plan(loader.graph_header());
  require_sound(plan, graph.num_nodes);
  require(plan.total_size == cuda.peak_memory(), "peak_memory is not the plan's total");
  require_binding(cuda, graph, inputs);
  if (plan.total_size > kMaxArenaBytes) return 0;

  qen::GraphExecutor cpu(qen::Device::CPU);
  require(load(cpu, file.path(), size) == Load::kWithArena, "a CPU executor refused a model that CUDA planned");
  require(cpu.peak_memory() == plan.total_size, "the devices report different peaks");
  require_binding(cpu, graph, inputs);
  // Counts rewritten in the mapped file change nothing: the executor binds by
  // the header it validated at open.
  if (file.rewrite_graph_counts(data, size)) require_binding(cpu, graph, inputs);
  return 0;
}
