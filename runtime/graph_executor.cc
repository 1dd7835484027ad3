#include "graph_executor.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

namespace qen {

GraphExecutor::GraphExecutor(Device device_) : device(device_) {}

void GraphExecutor::load_model(const std::string& path) {
  // Open and plan before anything is replaced: a file that cannot be opened,
  // a node naming more than 16 tensors on a side or a plan that would pass
  // 2^64 - 1 leaves the executor as it was.
  auto next_loader = std::make_unique<ModelLoader>(path);
  MemoryPlan next_plan = MemoryPlanner().plan(next_loader->graph_header(), next_loader->graph_info());

  loader = std::move(next_loader);
  memory_plan = std::move(next_plan);

  if (device == Device::CPU) {
    arena.reset();
    arena.reset(aligned_allocate(memory_plan.total_size));
  }
  if (!arena) throw std::bad_alloc();
}

std::vector<TensorHandle> GraphExecutor::execute(const std::vector<TensorHandle>& inputs) {
  if (!loader) throw std::runtime_error("No model loaded");
  // The loader has checked num_inputs and num_outputs against the 16 entries.
  const GraphHeader graph = loader->graph_info();

  const size_t bound = std::min<size_t>(graph.num_inputs, inputs.size());
  for (size_t i = 0; i < bound; ++i) tensor_map[graph.input_ids[i]] = inputs[i];

  // A lookup must not insert: an output nobody bound comes back empty.
  std::vector<TensorHandle> outputs;
  outputs.reserve(graph.num_outputs);
  for (uint32_t j = 0; j < graph.num_outputs; ++j) {
    const auto found = tensor_map.find(graph.output_ids[j]);
    outputs.push_back(found == tensor_map.end() ? nullptr : found->second);
  }
  return outputs;
}

uint64_t GraphExecutor::peak_memory() const { return memory_plan.total_size; }

}  // namespace qen
