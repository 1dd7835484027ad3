// Fuzzes Engine with arbitrary file bytes as the model: load it, then run it
// twice on the fixed inputs; the second run finds the first one's cached
// weights and outputs in the tensor map. A third run follows a rewrite of
// the graph header's counts in the mapped file.
//
// Every returned tensor must be well formed and readable in full, and the
// inputs must come back untouched. A model that could make a Linear output
// larger than kMaxExtent by kMaxExtent is loaded but not run: the runtime
// would rightly allocate and fill gigabytes for it, which libFuzzer's memory
// limits would report although nothing is wrong.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <set>
#include <vector>

#include "bound_inputs.h"
#include "model_file.h"
#include "qen/engine.h"
#include "qen/model_loader.h"

namespace {

using qen::fuzzing::expect_model_error;

// Keeps a Linear output within 256 KiB and its work within 2^24
// multiply-adds, so that a run stays within milliseconds.
constexpr uint32_t kMaxExtent = 256;

// Every shape in a run is a bound input's, a stored tensor's, or a Linear
// output's [first extent of x, first extent of W], whose extents are again
// first extents. The largest first extent among the inputs and the loadable
// stored tensors therefore bounds both extents of every Linear output.
bool linear_outputs_stay_small(const qen::ModelLoader& loader, const qen::fuzzing::BoundInputs& inputs) {
  const qen::GraphHeader graph = loader.graph_info();
  bool has_linear = false;
  for (uint32_t i = 0; i < graph.num_nodes && !has_linear; ++i)
    has_linear = loader.node_record(i).op_type == static_cast<uint16_t>(qen::OpType::Linear);
  if (!has_linear) return true;

  uint32_t largest = 0;
  for (const qen::TensorHandle& input : inputs.handles()) largest = std::max(largest, input->shape.at(0));
  // The loader has checked that the tensor table lies inside the file, which
  // bounds num_tensors by the file's size.
  for (uint32_t id = 0; id < graph.num_tensors; ++id) {
    try {
      const qen::TensorView stored = loader.load_tensor(id);
      if (!stored.shape.empty()) largest = std::max(largest, stored.shape[0]);
    } catch (const std::exception&) {
      // Not loadable, so no run can fetch it either.
    }
  }
  return largest <= kMaxExtent;
}

// The node outputs a run returns are held by the engine's map when it
// returns, so the peak it reports covers at least their bytes.
void require_counted(const qen::Engine& engine, const std::vector<qen::TensorHandle>& outputs,
                     const qen::fuzzing::BoundInputs& inputs) {
  std::set<const qen::TensorView*> node_outputs;
  for (const qen::TensorHandle& output : outputs) {
    const auto& bound = inputs.handles();
    if (output && output->owns_data && std::find(bound.begin(), bound.end(), output) == bound.end())
      node_outputs.insert(output.get());
  }
  uint64_t bytes = 0;
  for (const qen::TensorView* output : node_outputs) bytes += output->size_bytes;
  qen::fuzzing::require(engine.peak_memory_usage() >= bytes, "the peak does not cover the returned node outputs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qen::fuzzing::MemoryFile file;
  file.assign(data, size);
  const qen::fuzzing::BoundInputs inputs;
  qen::Engine engine;
  try {
    engine.load_model(file.path());
    if (!linear_outputs_stay_small(qen::ModelLoader(file.path()), inputs)) return 0;
  } catch (const std::exception& e) {
    expect_model_error(e, size);
    return 0;
  }

  // The third pass runs after the file's counts have been rewritten in
  // place: the engine must keep to the header it validated at open.
  for (int pass = 0; pass < 3; ++pass) {
    if (pass == 2 && !file.rewrite_graph_counts(data, size)) break;
    try {
      const std::vector<qen::TensorHandle> outputs = engine.run(inputs.handles());
      for (const qen::TensorHandle& output : outputs) qen::fuzzing::require_readable(output);
      require_counted(engine, outputs, inputs);
    } catch (const std::exception& e) {
      expect_model_error(e, size);
    }
    inputs.require_unchanged();
  }
  return 0;
}
