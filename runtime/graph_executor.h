// GraphExecutor: loads a model, plans the memory of its tensors in one arena
// and binds tensors by the graph's input and output IDs. It runs no node.
//
// The executor owns its loader, plan, arena (CPU only) and tensor map; the
// map shares each bound tensor with the caller. Bindings live as long as the
// executor, across execute calls and model loads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "memory_planner.h"
#include "qen/device.h"
#include "qen/model_loader.h"
#include "qen/tensor_view.h"

namespace qen {

class GraphExecutor {
 public:
  explicit GraphExecutor(Device device = Device::CPU);

  // Opens and plans the model, then allocates the arena (CPU only). Throws
  // std::bad_alloc when no arena results; the model and plan stay installed.
  void load_model(const std::string& path);

  // Binds inputs to the graph's input IDs and returns the tensors bound to
  // its output IDs (an empty handle where none is bound).
  std::vector<TensorHandle> execute(const std::vector<TensorHandle>& inputs);

  // Bytes of the current plan's arena.
  uint64_t peak_memory() const;

 private:
  struct ArenaFree {
    void operator()(void* block) const { aligned_free(block); }
  };
  friend struct GraphExecutorProbe;  // lets the tests look at the arena and bindings

  // Declared so that destruction releases the arena first, then the
  // bindings, the plan and last the loader.
  Device device;
  std::unique_ptr<ModelLoader> loader;
  MemoryPlan memory_plan;
  std::unordered_map<uint32_t, TensorHandle> tensor_map;
  std::unique_ptr<void, ArenaFree> arena;
};

}  // namespace qen
