// Engine: runs a loaded model node by node on the CPU kernels.
//
// The engine owns its ModelLoader alone and shares every tensor in its tensor
// map: bound inputs (borrowing the caller's memory), stored tensors fetched
// lazily from the file (borrowing the loader's mapping) and node outputs (own
// 64-byte aligned buffers). The map is emptied when a new model is installed,
// so no entry ever borrows a released mapping; members are declared so that
// the map is destroyed before the loader.
//
// peak_memory_usage is the high-water mark, since construction, of the bytes
// of node-output buffers the engine holds at once: those its tensor map holds
// as node outputs, plus the output a node has just allocated while the
// previous tensor under the same ID is still held. Inputs, weights and
// results the caller keeps after the engine has replaced them are not counted.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "qen/device.h"
#include "qen/export.h"
#include "qen/model_loader.h"
#include "qen/tensor_view.h"

namespace qen {

// Thrown by a run that its caller asked to stop.
class QEN_EXPORT RunStopped : public std::runtime_error {
 public:
  RunStopped() : std::runtime_error("Run stopped") {}
};

class QEN_EXPORT Engine {
 public:
  // Throws std::runtime_error "CUDA support not compiled" for Device::CUDA.
  // `threads` is how many threads a kernel may use (0: every core this
  // process may run on; negative: std::invalid_argument). With 1 a run
  // starts no thread; with more the results are the same bits.
  explicit Engine(Device device = Device::CPU, int threads = 1);

  // Opens the file first; on failure the previous model stays loaded and the
  // tensor map is untouched. On success the tensor map is emptied.
  void load_model(const std::string& path);

  // Binds inputs to the graph's input IDs, runs every node in table order and
  // returns the tensors under the graph's output IDs (an empty handle where
  // nothing produced one). `stop_requested`, when given, is asked between two
  // nodes, on the calling thread; once it answers true the run throws
  // RunStopped, with the tensor map as any failed run leaves it: the outputs
  // of the nodes before kept, nothing half-written.
  std::vector<TensorHandle> run(const std::vector<TensorHandle>& inputs,
                                const std::function<bool()>& stop_requested = nullptr);

  uint64_t peak_memory_usage() const;

 private:
  friend class EngineProbe;  // lets the tests inspect the tensor map

  // The map's tensor under id, or else the stored tensor from the file, which
  // is then cached. An empty handle in the map counts as absent.
  TensorHandle get_or_load_tensor(uint32_t id);
  void run_node(const NodeRecord& node);
  // Puts a node output under id, replacing and releasing what was there.
  void store_output(uint32_t id, TensorHandle output);
  // Replaces the entry under id; a node output it held stops being counted.
  void replace_entry(uint32_t id, TensorHandle handle);
  // Allocates a node output and records the peak it reaches.
  TensorHandle allocate_output(std::vector<uint32_t> shape, DType dtype);

  Device device;
  std::unique_ptr<ModelLoader> loader;
  std::unordered_map<uint32_t, TensorHandle> tensor_map;
  uint64_t peak_bytes = 0;
  // Bytes of each node output the map holds, by tensor ID, and their sum.
  std::unordered_map<uint32_t, uint64_t> output_bytes;
  uint64_t held_bytes = 0;
  unsigned threads;
};

}  // namespace qen
