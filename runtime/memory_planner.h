// MemoryPlanner: places every tensor that the graph's nodes name in one arena.
//
// A tensor lives from the first to the last node that names it (as input or
// output); tensors alive at a common node never share bytes, others may. The
// planner is stateless: it reads the graph block in place, read-only, and
// everything it builds is returned in the MemoryPlan, which owns its arrays.
// Sizes are the tensor records' data_size as they stand, never rounded.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "qen/model_format.h"

namespace qen {

struct TensorLifetime {
  uint32_t first_use;
  uint32_t last_use;
  uint64_t size;
  uint32_t tensor_id;
};

// A placed tensor while it is alive.
struct LiveBlock {
  uint64_t offset;
  uint64_t size;
  uint32_t last_use;
};

struct PlanEntry {
  uint32_t tensor_id;
  uint64_t size;
  uint64_t offset;
  uint32_t first_use;
  uint32_t last_use;
};

struct MemoryPlan {
  std::vector<PlanEntry> entries;  // in placement order
  uint64_t total_size = 0;         // highest offset + size; the arena's byte size
  std::vector<uint32_t> execution_order;
};

class MemoryPlanner {
 public:
  // `graph` is the address of a graph header followed by its tensor table and
  // node table, all readable (ModelLoader::graph_header guarantees this).
  // Records there may lie at any byte offset; they are read by copying.
  //
  // Throws std::runtime_error for a node naming more than 16 inputs or
  // outputs (its ID arrays hold 16) and for a placement whose end would pass
  // 2^64 - 1, so that the caller can refuse such a model.
  MemoryPlan plan(const uint8_t* graph) const;
  // The same with the counts taken from `header`, a copy of the graph header
  // already checked against the file (ModelLoader::graph_info), so that a
  // rewritten mapping cannot move any read outside the tables.
  MemoryPlan plan(const uint8_t* graph, const GraphHeader& header) const;

  // One record per distinct tensor ID that any node names, in the order the
  // IDs are first named. Sizes come from the tensor table; an ID at or above
  // num_tensors gets size 0.
  std::vector<TensorLifetime> compute_lifetimes(const uint8_t* graph) const;
  std::vector<TensorLifetime> compute_lifetimes(const uint8_t* graph, const GraphHeader& header) const;

  // Sorts `lifetimes` into placement order (ascending first_use, then
  // descending size, then ascending tensor_id so ties are deterministic),
  // places each by first fit in address order among the blocks still alive,
  // records its offset in `offsets` and returns the highest end placed.
  uint64_t assign_offsets(std::vector<TensorLifetime>& lifetimes,
                          std::unordered_map<uint32_t, uint64_t>& offsets) const;
};

}  // namespace qen
