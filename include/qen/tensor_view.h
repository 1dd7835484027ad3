// TensorView: the one tensor descriptor of the runtime.
//
// A view describes a dense row-major block of elements. It either owns that
// block (allocate_tensor: a 64-byte aligned buffer freed with the view) or
// borrows it (the mapped model file, a caller's array). A borrowed block must
// outlive every read through the view; `owner` lets the lender tie its
// lifetime to the view's (the bindings keep the caller's array alive there).
// Views travel only through TensorHandle, a shared pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "qen/export.h"

namespace qen {

enum class DType : uint8_t { FP32 = 0, FP16 = 1, INT8 = 2, INT32 = 3 };

// Bytes per element; throws std::runtime_error "Unknown dtype" for values above 3.
QEN_EXPORT size_t element_size(DType dtype);

class QEN_EXPORT TensorView {
 public:
  // A borrowing view over existing memory. Throws "Unknown dtype".
  TensorView(void* data, std::vector<uint32_t> shape, DType dtype, std::shared_ptr<void> owner = nullptr);
  ~TensorView();

  // Moving hands over ownership of the buffer; copying could free it twice.
  TensorView(TensorView&& other) noexcept;
  TensorView(const TensorView&) = delete;
  TensorView& operator=(const TensorView&) = delete;
  TensorView& operator=(TensorView&&) = delete;

  void* data;
  std::vector<uint32_t> shape;
  uint64_t size_bytes;
  DType dtype;
  uint64_t ndim;
  bool owns_data;
  // Keeps borrowed memory alive for as long as the view lives; may be empty.
  std::shared_ptr<void> owner;

  // Number of elements: the product of the extents (1 for no extents).
  uint64_t element_count() const;
};

using TensorHandle = std::shared_ptr<TensorView>;

// A new owning view over an uninitialised 64-byte aligned buffer. Buffers of
// 256 KiB and more that owning views released are kept (up to 64 MiB in
// all) and given to later views of the same size, which spares the system's
// fresh pages and their faults to a model run again and again.
// Throws "Unknown dtype", or std::bad_alloc when the buffer cannot be had
// (including a byte size that does not fit in 64 bits).
QEN_EXPORT TensorHandle allocate_tensor(std::vector<uint32_t> shape, DType dtype);

// A block of at least `bytes` bytes at 64-byte alignment, contents not
// initialised; 0 bytes still gives a valid block. Null when it cannot be had.
// Release it with aligned_free.
QEN_EXPORT void* aligned_allocate(uint64_t bytes);
QEN_EXPORT void aligned_free(void* block);

// element_size(dtype) times every extent, or false when that overflows 64 bits.
QEN_EXPORT bool checked_byte_size(const uint32_t* dims, size_t count, DType dtype, uint64_t* out);

}  // namespace qen
