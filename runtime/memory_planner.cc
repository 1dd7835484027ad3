#include "memory_planner.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>

#include "model_format.h"

namespace qen {
namespace {

// Start of the lowest gap of at least `size` bytes among `live` (sorted by
// offset), or the highest live end when none is large enough. `reach` is the
// end of the bytes taken so far in address order: a block that starts below
// it (e.g. a 0-byte block inside a larger one) must not pull it back.
uint64_t first_fit(const std::vector<LiveBlock>& live, uint64_t size) {
  uint64_t reach = 0;
  for (const LiveBlock& block : live) {
    if (block.offset >= reach && block.offset - reach >= size) return reach;
    reach = std::max(reach, block.offset + block.size);
  }
  return reach;
}

bool placement_order(const TensorLifetime& a, const TensorLifetime& b) {
  if (a.first_use != b.first_use) return a.first_use < b.first_use;
  if (a.size != b.size) return a.size > b.size;
  return a.tensor_id < b.tensor_id;
}

}  // namespace

std::vector<TensorLifetime> MemoryPlanner::compute_lifetimes(const uint8_t* graph) const {
  const GraphHeader header = read_record<GraphHeader>(graph);
  std::vector<TensorLifetime> lifetimes;
  std::unordered_map<uint32_t, size_t> index_of;  // tensor ID -> position in lifetimes
  auto name = [&](uint32_t id, uint32_t node) {
    const auto [it, inserted] = index_of.try_emplace(id, lifetimes.size());
    if (inserted) {
      lifetimes.push_back({node, node, 0, id});
    } else {
      lifetimes[it->second].last_use = node;
    }
  };

  for (uint32_t i = 0; i < header.num_nodes; ++i) {
    const NodeRecord node = read_record<NodeRecord>(graph + node_record_offset(header.num_tensors, i));
    // The ID arrays hold 16 entries; a larger count would read past them.
    if (node.num_inputs > kMaxGraphIds || node.num_outputs > kMaxGraphIds)
      throw std::runtime_error("Node has more than 16 inputs or outputs");
    for (uint32_t j = 0; j < node.num_inputs; ++j) name(node.input_ids[j], i);
    for (uint32_t j = 0; j < node.num_outputs; ++j) name(node.output_ids[j], i);
  }

  // Only IDs inside the tensor table have a record to take the size from.
  for (TensorLifetime& lifetime : lifetimes) {
    if (lifetime.tensor_id < header.num_tensors)
      lifetime.size = read_record<TensorRecord>(graph + tensor_record_offset(lifetime.tensor_id)).data_size;
  }
  return lifetimes;
}

uint64_t MemoryPlanner::assign_offsets(std::vector<TensorLifetime>& lifetimes,
                                       std::unordered_map<uint32_t, uint64_t>& offsets) const {
  std::sort(lifetimes.begin(), lifetimes.end(), placement_order);

  // Blocks alive at the current first_use, kept sorted by offset (equal
  // offsets in placement order).
  std::vector<LiveBlock> live;
  uint64_t total = 0;
  for (const TensorLifetime& lifetime : lifetimes) {
    // A block whose last node is the current tensor's first node stays.
    live.erase(std::remove_if(live.begin(), live.end(),
                              [&](const LiveBlock& block) { return block.last_use < lifetime.first_use; }),
               live.end());

    const uint64_t offset = first_fit(live, lifetime.size);
    if (lifetime.size > UINT64_MAX - offset)
      throw std::runtime_error("Memory plan exceeds the 64-bit address range");
    offsets[lifetime.tensor_id] = offset;

    const auto after = std::upper_bound(live.begin(), live.end(), offset,
                                        [](uint64_t at, const LiveBlock& block) { return at < block.offset; });
    live.insert(after, LiveBlock{offset, lifetime.size, lifetime.last_use});
    total = std::max(total, offset + lifetime.size);
  }
  return total;
}

MemoryPlan MemoryPlanner::plan(const uint8_t* graph) const {
  std::vector<TensorLifetime> lifetimes = compute_lifetimes(graph);
  std::unordered_map<uint32_t, uint64_t> offsets;
  MemoryPlan result;
  result.total_size = assign_offsets(lifetimes, offsets);

  result.entries.reserve(lifetimes.size());
  for (const TensorLifetime& lifetime : lifetimes) {
    result.entries.push_back(
        {lifetime.tensor_id, lifetime.size, offsets.at(lifetime.tensor_id), lifetime.first_use, lifetime.last_use});
  }
  result.execution_order.resize(read_record<GraphHeader>(graph).num_nodes);
  std::iota(result.execution_order.begin(), result.execution_order.end(), 0u);
  return result;
}

}  // namespace qen
