// Shared by the executor targets: the fixed tensors they bind as the graph's
// inputs, and the check of every tensor a call returns.
//
// The inputs own their buffers and keep a copy of their first contents: the
// runtime never writes into a caller's tensor, so they must still match it
// after any call.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "model_file.h"
#include "qen/tensor_view.h"

namespace qen::fuzzing {

class BoundInputs {
 public:
  // FP32 [1,4], [2,8] and [3], then INT32 [2,3], holding small mixed values.
  BoundInputs() {
    const std::pair<std::vector<uint32_t>, DType> layouts[] = {
        {{1, 4}, DType::FP32}, {{2, 8}, DType::FP32}, {{3}, DType::FP32}, {{2, 3}, DType::INT32}};
    for (const auto& [shape, dtype] : layouts) {
      TensorHandle tensor = allocate_tensor(shape, dtype);
      auto* bytes = static_cast<uint8_t*>(tensor->data);
      for (uint64_t i = 0; i < tensor->element_count(); ++i) {
        const float real = static_cast<float>(i % 7) * 0.75f - 2.0f;
        const auto whole = static_cast<int32_t>(i) - 3;
        std::memcpy(bytes + 4 * i, dtype == DType::FP32 ? static_cast<const void*>(&real) : &whole, 4);
      }
      first_contents_.emplace_back(bytes, bytes + tensor->size_bytes);
      handles_.push_back(std::move(tensor));
    }
  }

  const std::vector<TensorHandle>& handles() const { return handles_; }

  void require_unchanged() const {
    for (size_t i = 0; i < handles_.size(); ++i)
      require(std::memcmp(handles_[i]->data, first_contents_[i].data(), first_contents_[i].size()) == 0,
              "an input tensor was written to");
  }

 private:
  std::vector<TensorHandle> handles_;
  std::vector<std::vector<uint8_t>> first_contents_;
};

// A returned tensor is an empty handle or a view whose byte size matches its
// shape and dtype, and whose bytes can all be read.
inline void require_readable(const TensorHandle& tensor) {
  if (!tensor) return;
  uint64_t bytes = 0;
  require(static_cast<uint8_t>(tensor->dtype) <= static_cast<uint8_t>(DType::INT32) &&
              tensor->ndim == tensor->shape.size() &&
              checked_byte_size(tensor->shape.data(), tensor->shape.size(), tensor->dtype, &bytes) &&
              bytes == tensor->size_bytes,
          "a returned tensor's byte size does not match its shape");
  read_all(tensor->data, bytes);
}

}  // namespace qen::fuzzing
