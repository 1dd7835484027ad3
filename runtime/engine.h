// Engine: runs a loaded model node by node on the CPU kernels.
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

class Engine {
 public:
  // Throws std::runtime_error "CUDA support not compiled" for Device::CUDA.
  explicit Engine(Device device = Device::CPU);

  // Opens the file first; on failure the previous model stays loaded.
  void load_model(const std::string& path);

  // Binds inputs to the graph's input IDs, runs every node in table order and
  // returns the tensors under the graph's output IDs (an empty handle where
  // nothing produced one).
  std::vector<TensorHandle> run(const std::vector<TensorHandle>& inputs);

  uint64_t peak_memory_usage() const;
};

}  // namespace qen
