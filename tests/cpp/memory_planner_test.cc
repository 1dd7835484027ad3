#include "memory_planner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "model_builder.h"

namespace qen {
namespace {

using Ids = std::vector<uint32_t>;

struct Graph {
  std::vector<uint64_t> sizes;             // data_size of each tensor record
  std::vector<std::pair<Ids, Ids>> nodes;  // input and output IDs of each node
};

// The graph block placed one byte past an aligned address, so that every
// record the planner reads lies at an odd offset.
class GraphBlock {
 public:
  explicit GraphBlock(const Graph& graph) {
    testing::ModelBuilder b;
    for (uint64_t size : graph.sizes) b.tensors.push_back(TensorRecord{0, size, 0, {}, 0, {}});
    for (const auto& [inputs, outputs] : graph.nodes) b.add_wired_node(inputs, outputs);
    const std::vector<uint8_t> file = b.bytes();
    bytes.push_back(0);
    bytes.insert(bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(b.graph_offset()), file.end());
  }
  const uint8_t* address() const { return bytes.data() + 1; }

 private:
  std::vector<uint8_t> bytes;
};

auto as_tuple(const PlanEntry& e) { return std::make_tuple(e.tensor_id, e.size, e.offset, e.first_use, e.last_use); }

struct WorkedGraph {
  const char* name;
  Graph graph;
  std::vector<PlanEntry> entries;  // expected, in placement order
  uint64_t total;
};

class PlansGraph : public ::testing::TestWithParam<WorkedGraph> {};

TEST_P(PlansGraph, EntryByEntry) {
  const WorkedGraph& c = GetParam();
  const GraphBlock block(c.graph);
  const MemoryPlan plan = MemoryPlanner().plan(block.address());

  ASSERT_EQ(plan.entries.size(), c.entries.size());
  for (size_t i = 0; i < c.entries.size(); ++i) EXPECT_EQ(as_tuple(plan.entries[i]), as_tuple(c.entries[i])) << i;
  EXPECT_EQ(plan.total_size, c.total);
  Ids order(c.graph.nodes.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  EXPECT_EQ(plan.execution_order, order);
}

// Entries are {tensor_id, size, offset, first_use, last_use}.
INSTANTIATE_TEST_SUITE_P(
    Cases, PlansGraph,
    ::testing::Values(
        // A -> B -> C -> D; the sizes add up to 450.
        WorkedGraph{"Chain",
                    {{100, 200, 100, 50}, {{{0}, {1}}, {{1}, {2}}, {{2}, {3}}}},
                    {{1, 200, 0, 0, 1}, {0, 100, 200, 0, 0}, {2, 100, 200, 1, 2}, {3, 50, 0, 2, 2}},
                    300},
        WorkedGraph{"SkipConnection",
                    {{96, 32, 64, 16, 32}, {{{0, 1}, {2}}, {{2}, {3}}, {{3, 0}, {4}}}},
                    {{0, 96, 0, 0, 2}, {2, 64, 96, 0, 1}, {1, 32, 160, 0, 0}, {3, 16, 160, 1, 2}, {4, 32, 96, 2, 2}},
                    192},
        WorkedGraph{"PlaceholdersOnly",
                    {{0, 0, 0}, {{{0}, {1}}, {{1}, {2}}}},
                    {{0, 0, 0, 0, 0}, {1, 0, 0, 0, 1}, {2, 0, 0, 1, 1}},
                    0},
        // IDs 5 and 9 lie beyond the two-record table and reserve nothing.
        WorkedGraph{"IdsBeyondTable",
                    {{8, 4}, {{{5, 0}, {9, 0}}, {{1}, {5}}}},
                    {{0, 8, 0, 0, 0}, {5, 0, 0, 0, 1}, {9, 0, 0, 0, 0}, {1, 4, 0, 1, 1}},
                    8},
        WorkedGraph{"NoNodes", {{10, 20}, {}}, {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct Placement {
  const char* name;
  std::vector<TensorLifetime> lifetimes;  // {first_use, last_use, size, tensor_id}
  std::map<uint32_t, uint64_t> offsets;   // expected, by tensor ID
  uint64_t total;
};

class PlacesLifetimes : public ::testing::TestWithParam<Placement> {};

TEST_P(PlacesLifetimes, AtTheExpectedOffsets) {
  std::vector<TensorLifetime> lifetimes = GetParam().lifetimes;
  std::unordered_map<uint32_t, uint64_t> offsets;
  EXPECT_EQ(MemoryPlanner().assign_offsets(lifetimes, offsets), GetParam().total);
  const std::map<uint32_t, uint64_t> placed(offsets.begin(), offsets.end());
  EXPECT_EQ(placed, GetParam().offsets);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlacesLifetimes,
    ::testing::Values(
        // Tensor 0 expires at node 1 and leaves a 50-byte gap below tensor 1.
        Placement{"ExactGapTaken", {{0, 0, 50, 0}, {0, 1, 30, 1}, {1, 1, 50, 2}}, {{0, 0}, {1, 50}, {2, 0}}, 80},
        Placement{
            "GapOneByteShortSkipped", {{0, 0, 50, 0}, {0, 1, 30, 1}, {1, 1, 51, 2}}, {{0, 0}, {1, 50}, {2, 80}}, 131},
        Placement{"ZeroSizeAtZero", {{0, 1, 50, 0}, {1, 1, 0, 1}}, {{0, 0}, {1, 0}}, 50},
        // X at 0 (100 bytes), Y at 100 (50), Z at 0 (0 bytes), all live.
        Placement{"EmptyBlockDoesNotPullBack",
                  {{0, 1, 100, 0}, {0, 1, 50, 1}, {0, 1, 0, 2}, {1, 1, 30, 3}},
                  {{0, 0}, {1, 100}, {2, 0}, {3, 150}},
                  180},
        // A block whose last node is the next tensor's first node stays live.
        Placement{"LastUseEqualFirstUseStaysLive", {{0, 1, 40, 0}, {1, 1, 40, 1}}, {{0, 0}, {1, 40}}, 80},
        // Tensor 1 expires at the top; tensor 2 reuses its bytes.
        Placement{"FreedTopReused", {{0, 1, 100, 0}, {0, 0, 50, 1}, {1, 1, 80, 2}}, {{0, 0}, {1, 100}, {2, 100}}, 180},
        // Given out of order; equal first_use and size fall back to the ID.
        Placement{"SortedBeforePlacing",
                  {{1, 1, 10, 4}, {0, 1, 20, 7}, {0, 1, 20, 3}, {0, 1, 60, 9}},
                  {{9, 0}, {3, 60}, {7, 80}, {4, 100}},
                  110}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MemoryPlanner, RefusesEndsPastTheAddressRange) {
  std::unordered_map<uint32_t, uint64_t> offsets;
  std::vector<TensorLifetime> fits{{0, 0, UINT64_MAX, 0}, {0, 0, 0, 1}};
  EXPECT_EQ(MemoryPlanner().assign_offsets(fits, offsets), UINT64_MAX);
  std::vector<TensorLifetime> wraps{{0, 0, UINT64_MAX, 0}, {0, 0, 1, 1}};
  EXPECT_THROW(MemoryPlanner().assign_offsets(wraps, offsets), std::runtime_error);
}

TEST(MemoryPlanner, ReadsSixteenIdsAndRefusesMore) {
  Ids sixteen(16);
  for (uint32_t i = 0; i < 16; ++i) sixteen[i] = i;
  Ids seventeen = sixteen;
  seventeen.push_back(16);
  EXPECT_EQ(MemoryPlanner().compute_lifetimes(GraphBlock({{}, {{sixteen, sixteen}}}).address()).size(), 16u);
  EXPECT_THROW(MemoryPlanner().compute_lifetimes(GraphBlock({{}, {{seventeen, {}}}}).address()), std::runtime_error);
  EXPECT_THROW(MemoryPlanner().compute_lifetimes(GraphBlock({{}, {{{}, seventeen}}}).address()), std::runtime_error);
}

// The placement as a literal scan: drop the blocks that have expired, sort
// the rest by offset, take the first gap that holds the tensor in address
// order, else go past the highest end.
uint64_t place_by_scan(std::vector<TensorLifetime> lifetimes, std::map<uint32_t, uint64_t>& offsets) {
  std::sort(lifetimes.begin(), lifetimes.end(), [](const TensorLifetime& a, const TensorLifetime& b) {
    return std::make_tuple(a.first_use, ~a.size, a.tensor_id) < std::make_tuple(b.first_use, ~b.size, b.tensor_id);
  });
  std::vector<LiveBlock> live;
  uint64_t total = 0;
  for (const TensorLifetime& l : lifetimes) {
    live.erase(std::remove_if(live.begin(), live.end(), [&](const LiveBlock& b) { return b.last_use < l.first_use; }),
               live.end());
    std::stable_sort(live.begin(), live.end(),
                     [](const LiveBlock& a, const LiveBlock& b) { return a.offset < b.offset; });
    uint64_t reach = 0;
    for (const LiveBlock& b : live) {
      if (b.offset >= reach && b.offset - reach >= l.size) break;
      reach = std::max(reach, b.offset + b.size);
    }
    offsets[l.tensor_id] = reach;
    live.push_back({reach, l.size, l.last_use});
    total = std::max(total, reach + l.size);
  }
  return total;
}

// Many blocks alive at once, freed in mixed order, with sizes that tie and
// gaps that fit exactly: the planner's tree must place as the scan does.
TEST(MemoryPlanner, PlacesAsTheLinearScan) {
  std::mt19937 rng(7);
  const uint64_t sizes[] = {0, 1, 8, 8, 16, 24, 64, 100};
  for (int round = 0; round < 2000; ++round) {
    std::vector<TensorLifetime> lifetimes(1 + rng() % 200);
    const uint32_t nodes = 1 + static_cast<uint32_t>(rng() % 40);
    for (uint32_t id = 0; id < lifetimes.size(); ++id) {
      const uint32_t first = static_cast<uint32_t>(rng() % nodes);
      lifetimes[id] = {first, first + static_cast<uint32_t>(rng() % 12), sizes[rng() % 8], id};
    }
    std::map<uint32_t, uint64_t> expected;
    const uint64_t total = place_by_scan(lifetimes, expected);
    std::unordered_map<uint32_t, uint64_t> offsets;
    ASSERT_EQ(MemoryPlanner().assign_offsets(lifetimes, offsets), total) << round;
    const std::map<uint32_t, uint64_t> placed(offsets.begin(), offsets.end());
    ASSERT_EQ(placed, expected) << round;
  }
}

Graph random_graph(std::mt19937& rng) {
  auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  Graph graph;
  graph.sizes.resize(below(7));
  for (uint64_t& size : graph.sizes) size = below(3) == 0 ? 0 : 1 + below(64);
  const uint32_t id_range = static_cast<uint32_t>(graph.sizes.size()) + 2;  // some IDs beyond the table
  graph.nodes.resize(below(8));
  for (auto& [inputs, outputs] : graph.nodes) {
    inputs.resize(below(4));
    outputs.resize(below(3));
    for (uint32_t& id : inputs) id = below(id_range);
    for (uint32_t& id : outputs) id = below(id_range);
  }
  return graph;
}

// Checks a plan against the graph it was made from, without the planner's
// own bookkeeping: lifetimes from a direct scan, overlap pair by pair.
void check_plan(const Graph& graph, const MemoryPlan& plan) {
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> span;  // ID -> first and last node
  for (uint32_t n = 0; n < graph.nodes.size(); ++n) {
    for (const Ids* side : {&graph.nodes[n].first, &graph.nodes[n].second}) {
      for (uint32_t id : *side) {
        auto [it, inserted] = span.try_emplace(id, n, n);
        it->second.first = std::min(it->second.first, n);
        it->second.second = std::max(it->second.second, n);
      }
    }
  }

  ASSERT_EQ(plan.entries.size(), span.size());
  uint64_t highest_end = 0;
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    const PlanEntry& e = plan.entries[i];
    ASSERT_EQ(span.count(e.tensor_id), 1u);
    EXPECT_EQ(e.first_use, span[e.tensor_id].first);
    EXPECT_EQ(e.last_use, span[e.tensor_id].second);
    EXPECT_EQ(e.size, e.tensor_id < graph.sizes.size() ? graph.sizes[e.tensor_id] : 0);
    span.erase(e.tensor_id);  // a second entry for the ID fails the count above
    highest_end = std::max(highest_end, e.offset + e.size);
    if (i > 0) {
      const PlanEntry& p = plan.entries[i - 1];
      EXPECT_TRUE(p.first_use < e.first_use || (p.first_use == e.first_use && p.size >= e.size));
    }
    for (size_t j = 0; j < i; ++j) {
      const PlanEntry& o = plan.entries[j];
      const bool meet = o.first_use <= e.last_use && e.first_use <= o.last_use;
      const bool share = o.offset < e.offset + e.size && e.offset < o.offset + o.size;
      EXPECT_FALSE(meet && e.size > 0 && o.size > 0 && share) << e.tensor_id << " and " << o.tensor_id;
    }
  }
  EXPECT_EQ(plan.total_size, highest_end);
  ASSERT_EQ(plan.execution_order.size(), graph.nodes.size());
  for (uint32_t i = 0; i < plan.execution_order.size(); ++i) EXPECT_EQ(plan.execution_order[i], i);
}

TEST(MemoryPlanner, RandomGraphsKeepThePlanInvariants) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 3000; ++round) {
    const Graph graph = random_graph(rng);
    const GraphBlock block(graph);
    const MemoryPlan plan = MemoryPlanner().plan(block.address());
    SCOPED_TRACE(round);
    check_plan(graph, plan);
    const MemoryPlan again = MemoryPlanner().plan(block.address());
    ASSERT_EQ(again.entries.size(), plan.entries.size());
    for (size_t i = 0; i < plan.entries.size(); ++i) EXPECT_EQ(as_tuple(again.entries[i]), as_tuple(plan.entries[i]));
    if (::testing::Test::HasFailure()) break;
  }
}

}  // namespace
}  // namespace qen
