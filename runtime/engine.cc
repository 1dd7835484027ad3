#include "qen/engine.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "kernels.h"
#include "thread_pool.h"

namespace qen {
namespace {

[[noreturn]] void throw_unsupported_op(uint16_t op_type) {
  char message[128];
  std::snprintf(message, sizeof message, "Unsupported op type: %d", static_cast<int>(op_type));
  throw std::runtime_error(message);
}

// Only the CPU computes; any other device fails before a node stores anything.
void require_cpu(Device device) {
  if (device != Device::CPU) throw std::runtime_error("CUDA not implemented yet");
}

}  // namespace

Engine::Engine(Device device_, int threads_) : device(device_), threads(resolve_thread_count(threads_)) {
  if (device == Device::CUDA) throw std::runtime_error("CUDA support not compiled");
}

void Engine::load_model(const std::string& path) {
  auto next = std::make_unique<ModelLoader>(path);
  // Cached entries borrow the old mapping or would shadow the new model's
  // tensors, so they go before the old loader does.
  tensor_map.clear();
  output_bytes.clear();
  held_bytes = 0;
  loader = std::move(next);
}

std::vector<TensorHandle> Engine::run(const std::vector<TensorHandle>& inputs,
                                      const std::function<bool()>& stop_requested) {
  if (!loader) throw std::runtime_error("No model loaded");
  const GraphHeader graph = loader->graph_info();
  // The loader refuses graphs with more than 16 inputs or outputs; the bound
  // keeps these reads inside the ID arrays regardless.
  const uint32_t num_inputs = std::min(graph.num_inputs, kMaxGraphIds);
  const uint32_t num_outputs = std::min(graph.num_outputs, kMaxGraphIds);

  for (uint32_t i = 0; i < num_inputs && i < inputs.size(); ++i) replace_entry(graph.input_ids[i], inputs[i]);
  for (uint32_t i = 0; i < graph.num_nodes; ++i) {
    if (i > 0 && stop_requested && stop_requested()) throw RunStopped();
    run_node(loader->node_record(i));
  }

  // Outputs are only looked up: nothing is fetched for them, nothing inserted.
  std::vector<TensorHandle> outputs;
  outputs.reserve(num_outputs);
  for (uint32_t i = 0; i < num_outputs; ++i) {
    const auto found = tensor_map.find(graph.output_ids[i]);
    outputs.push_back(found == tensor_map.end() ? nullptr : found->second);
  }
  return outputs;
}

uint64_t Engine::peak_memory_usage() const { return peak_bytes; }

TensorHandle Engine::get_or_load_tensor(uint32_t id) {
  const auto found = tensor_map.find(id);
  if (found != tensor_map.end() && found->second) return found->second;
  auto handle = std::make_shared<TensorView>(loader->load_tensor(id));
  replace_entry(id, handle);
  return handle;
}

void Engine::run_node(const NodeRecord& node) {
  const uint16_t op = node.op_type;
  if (op < static_cast<uint16_t>(OpType::Linear) || op > static_cast<uint16_t>(OpType::Softmax))
    throw_unsupported_op(op);

  // Held until the node returns, so an output stored under the input's own ID
  // does not free the input while it is read.
  const TensorHandle x = get_or_load_tensor(node.input_ids[0]);
  TensorHandle y;
  switch (static_cast<OpType>(op)) {
    case OpType::Linear: {
      const TensorHandle w = get_or_load_tensor(node.weight_id);
      const TensorHandle b = get_or_load_tensor(node.bias_id);
      if (x->shape.empty() || w->shape.empty()) throw std::runtime_error("Linear expects 2D tensors");
      y = allocate_output({x->shape[0], w->shape[0]}, DType::FP32);
      require_cpu(device);
      linear(*x, *w, *b, *y, threads);
      break;
    }
    case OpType::ReLU:
    case OpType::GELU:
      y = allocate_output(x->shape, x->dtype);
      require_cpu(device);
      if (x->dtype != DType::FP32) throw std::runtime_error("Only FP32 supported");
      if (static_cast<OpType>(op) == OpType::ReLU)
        relu(x->data, y->data, x->element_count(), threads);
      else
        gelu(x->data, y->data, x->element_count(), threads);
      break;
    case OpType::Softmax:
      y = allocate_output(x->shape, x->dtype);
      require_cpu(device);
      softmax(*x, *y, threads);
      break;
  }
  store_output(node.output_ids[0], std::move(y));
}

TensorHandle Engine::allocate_output(std::vector<uint32_t> shape, DType dtype) {
  TensorHandle output = allocate_tensor(std::move(shape), dtype);
  peak_bytes = std::max(peak_bytes, held_bytes + output->size_bytes);
  return output;
}

void Engine::store_output(uint32_t id, TensorHandle output) {
  // Both lookups may insert, and so throw, before anything changes.
  TensorHandle& slot = tensor_map[id];
  uint64_t& counted = output_bytes[id];
  held_bytes = held_bytes - counted + output->size_bytes;
  counted = output->size_bytes;
  slot = std::move(output);
}

void Engine::replace_entry(uint32_t id, TensorHandle handle) {
  TensorHandle& slot = tensor_map[id];
  const auto counted = output_bytes.find(id);
  if (counted != output_bytes.end()) {
    held_bytes -= counted->second;
    output_bytes.erase(counted);
  }
  slot = std::move(handle);
}

}  // namespace qen
