#include "memory_planner.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <queue>
#include <stdexcept>
#include <utility>
#include <vector>

#include "qen/model_format.h"

namespace qen {
namespace {

// The non-empty blocks alive at the current node, in address order. Such
// blocks never overlap, and an empty block never changes where first fit puts
// a tensor (empty tensors always go at 0), so only non-empty ones are kept.
//
// They form a treap keyed by offset in which each node knows the gap between
// its block and the end of the block before it, and the largest such gap in
// its subtree. Finding the lowest gap that holds n bytes, inserting and
// removing a block then take logarithmic time, so a graph of many tensors
// alive at once plans in O(n log n) rather than O(n^2).
class LiveBlocks {
 public:
  // Start of the lowest gap of at least `size` (> 0) bytes below or between
  // the blocks, or the highest end when none is large enough (0 when empty).
  uint64_t first_fit(uint64_t size) const {
    for (size_t at = root; at != kNone;) {
      const Node& node = nodes[at];
      if (node.left != kNone && nodes[node.left].max_gap >= size) {
        at = node.left;
      } else if (node.gap >= size) {
        return node.block.offset - node.gap;
      } else {
        at = node.right;
      }
    }
    return end_of_last(root);
  }

  // `block` is non-empty and overlaps no block held.
  void insert(const LiveBlock& block) {
    auto [below, above] = split(root, block.offset);
    const uint64_t end = block.offset + block.size;
    nodes.push_back({block, block.offset - end_of_last(below), 0, next_priority(), kNone, kNone});
    const size_t added = nodes.size() - 1;
    refresh(added);
    if (above != kNone) set_first_gap(above, end);
    root = merge(merge(below, added), above);
  }

  // Removes the block that starts at `offset`.
  void erase(uint64_t offset) {
    auto [below, rest] = split(root, offset);
    const size_t above = split(rest, offset + 1).second;
    if (above != kNone) set_first_gap(above, end_of_last(below));
    root = merge(below, above);
  }

 private:
  static constexpr size_t kNone = SIZE_MAX;
  struct Node {
    LiveBlock block;
    uint64_t gap;      // from the end of the block below (or from 0) to block.offset
    uint64_t max_gap;  // the largest gap in this subtree
    uint64_t priority;
    size_t left, right;
  };

  // Fixed pseudo-random heap priorities (splitmix64), which keep the tree's
  // depth logarithmic whatever the order of offsets. The tree's shape, never
  // a placement, depends on them.
  uint64_t next_priority() {
    uint64_t z = (counter += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }

  void refresh(size_t at) {
    Node& node = nodes[at];
    node.max_gap = node.gap;
    if (node.left != kNone) node.max_gap = std::max(node.max_gap, nodes[node.left].max_gap);
    if (node.right != kNone) node.max_gap = std::max(node.max_gap, nodes[node.right].max_gap);
  }

  uint64_t end_of_last(size_t at) const {
    if (at == kNone) return 0;
    while (nodes[at].right != kNone) at = nodes[at].right;
    return nodes[at].block.offset + nodes[at].block.size;
  }

  // Sets the gap of the lowest block of subtree `at`, which follows `end`.
  void set_first_gap(size_t at, uint64_t end) {
    if (nodes[at].left != kNone) {
      set_first_gap(nodes[at].left, end);
    } else {
      nodes[at].gap = nodes[at].block.offset - end;
    }
    refresh(at);
  }

  // Splits subtree `at` into the blocks below `offset` and the others.
  std::pair<size_t, size_t> split(size_t at, uint64_t offset) {
    if (at == kNone) return {kNone, kNone};
    Node& node = nodes[at];
    if (node.block.offset < offset) {
      const auto [low, high] = split(node.right, offset);
      node.right = low;
      refresh(at);
      return {at, high};
    }
    const auto [low, high] = split(node.left, offset);
    node.left = high;
    refresh(at);
    return {low, at};
  }

  // Joins two subtrees, every block of `low` lying below every block of `high`.
  size_t merge(size_t low, size_t high) {
    if (low == kNone) return high;
    if (high == kNone) return low;
    if (nodes[low].priority > nodes[high].priority) {
      nodes[low].right = merge(nodes[low].right, high);
      refresh(low);
      return low;
    }
    nodes[high].left = merge(low, nodes[high].left);
    refresh(high);
    return high;
  }

  std::vector<Node> nodes;  // removed blocks stay here, unlinked
  size_t root = kNone;
  uint64_t counter = 0;
};

bool placement_order(const TensorLifetime& a, const TensorLifetime& b) {
  if (a.first_use != b.first_use) return a.first_use < b.first_use;
  if (a.size != b.size) return a.size > b.size;
  return a.tensor_id < b.tensor_id;
}

}  // namespace

std::vector<TensorLifetime> MemoryPlanner::compute_lifetimes(const uint8_t* graph) const {
  return compute_lifetimes(graph, read_record<GraphHeader>(graph));
}

std::vector<TensorLifetime> MemoryPlanner::compute_lifetimes(const uint8_t* graph, const GraphHeader& header) const {
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

  LiveBlocks live;
  // The non-empty blocks placed so far by last use, the earliest on top.
  using Expiry = std::pair<uint32_t, uint64_t>;  // last_use, offset
  std::priority_queue<Expiry, std::vector<Expiry>, std::greater<Expiry>> expiries;
  uint64_t total = 0;
  for (const TensorLifetime& lifetime : lifetimes) {
    // A block whose last node is the current tensor's first node stays.
    while (!expiries.empty() && expiries.top().first < lifetime.first_use) {
      live.erase(expiries.top().second);
      expiries.pop();
    }

    const uint64_t offset = lifetime.size == 0 ? 0 : live.first_fit(lifetime.size);
    if (lifetime.size > UINT64_MAX - offset) throw std::runtime_error("Memory plan exceeds the 64-bit address range");
    offsets[lifetime.tensor_id] = offset;
    if (lifetime.size != 0) {
      live.insert(LiveBlock{offset, lifetime.size, lifetime.last_use});
      expiries.emplace(lifetime.last_use, offset);
    }
    total = std::max(total, offset + lifetime.size);
  }
  return total;
}

MemoryPlan MemoryPlanner::plan(const uint8_t* graph) const { return plan(graph, read_record<GraphHeader>(graph)); }

MemoryPlan MemoryPlanner::plan(const uint8_t* graph, const GraphHeader& header) const {
  std::vector<TensorLifetime> lifetimes = compute_lifetimes(graph, header);
  std::unordered_map<uint32_t, uint64_t> offsets;
  MemoryPlan result;
  result.total_size = assign_offsets(lifetimes, offsets);

  result.entries.reserve(lifetimes.size());
  for (const TensorLifetime& lifetime : lifetimes) {
    result.entries.push_back(
        {lifetime.tensor_id, lifetime.size, offsets.at(lifetime.tensor_id), lifetime.first_use, lifetime.last_use});
  }
  result.execution_order.resize(header.num_nodes);
  std::iota(result.execution_order.begin(), result.execution_order.end(), 0u);
  return result;
}

}  // namespace qen
