// GraphExecutor: loads a model, plans the memory of its tensors in one arena
// and binds tensors by the graph's input and output IDs. It runs no node.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "device.h"
#include "model_loader.h"
#include "tensor_view.h"

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
};

}  // namespace qen
