#include "qen/tensor_view.h"

#include <cstdlib>
#include <mutex>
#ifndef _WIN32
#include <pthread.h>
#endif
#include <new>
#include <stdexcept>
#include <utility>

namespace qen {
namespace {

constexpr size_t kAlignment = 64;

// The size allocated for a block of `bytes` bytes, or 0 when none can be.
// The aligned allocators may return null for 0 bytes; ask for at least one
// cache line so that an empty tensor still gets a valid, freeable block.
uint64_t aligned_size(uint64_t bytes) {
  if (bytes > UINT64_MAX - kAlignment) return 0;
  const uint64_t rounded = bytes == 0 ? kAlignment : (bytes + kAlignment - 1) / kAlignment * kAlignment;
  return rounded > SIZE_MAX ? 0 : rounded;
}

// Owning views' large buffers, kept for reuse after their view is gone. An
// engine allocates every node output afresh on every run and frees the
// previous run's one just after; the C library hands such blocks back to the
// system and takes fresh ones, and a page fault on each 4 KiB of a fresh
// block cost more than an elementwise kernel's own work. A released block of
// at least kSmallest bytes is kept here (while the kept ones total at most
// kMostKept bytes) and handed out again to the next view of the same
// allocated size. The contents are whatever the last view left, as with any
// allocation. The cache is made once and never destroyed, so views released
// during the process's exit still find it.
class BufferCache {
 public:
  static constexpr uint64_t kSmallest = uint64_t{1} << 18;
  static constexpr uint64_t kMostKept = uint64_t{1} << 26;

  static BufferCache& instance() {
    static BufferCache* const cache = make();
    return *cache;
  }

  // A kept block of exactly `bytes` bytes (as aligned_size gives them), or null.
  void* take(uint64_t bytes) {
    if (bytes < kSmallest) return nullptr;
    const std::lock_guard<std::mutex> lock(mutex_);
    for (Slot& slot : slots_) {
      if (slot.block == nullptr || slot.bytes != bytes) continue;
      kept_ -= bytes;
      return std::exchange(slot.block, nullptr);
    }
    return nullptr;
  }

  // Keeps `block` of `bytes` bytes, or frees it when it is small or there is no room.
  void release(void* block, uint64_t bytes) {
    if (bytes >= kSmallest) {
      const std::lock_guard<std::mutex> lock(mutex_);
      for (Slot& slot : slots_) {
        if (slot.block != nullptr || kept_ + bytes > kMostKept) continue;
        slot = {block, bytes};
        kept_ += bytes;
        return;
      }
    }
    aligned_free(block);
  }

 private:
  struct Slot {
    void* block = nullptr;
    uint64_t bytes = 0;
  };

  // A fork while another thread held the lock would leave it held for ever
  // in the child, whose next large tensor would then wait for good. The
  // lock is taken around every fork instead, as the C library does for its
  // own allocator's locks.
  static BufferCache* make() {
    static BufferCache* made = nullptr;
    made = new BufferCache;
#ifndef _WIN32
    auto lock = [] { made->mutex_.lock(); };
    auto unlock = [] { made->mutex_.unlock(); };
    pthread_atfork(lock, unlock, unlock);
#endif
    return made;
  }

  std::mutex mutex_;
  Slot slots_[8];
  uint64_t kept_ = 0;
};

}  // namespace

void* aligned_allocate(uint64_t bytes) {
  const uint64_t rounded = aligned_size(bytes);
  if (rounded == 0) return nullptr;
#ifdef _WIN32
  return _aligned_malloc(static_cast<size_t>(rounded), kAlignment);
#else
  void* block = nullptr;
  if (posix_memalign(&block, kAlignment, static_cast<size_t>(rounded)) != 0) return nullptr;
  return block;
#endif
}

// Windows' aligned blocks must go back through _aligned_free, never free.
#ifdef _WIN32
void aligned_free(void* block) { _aligned_free(block); }
#else
void aligned_free(void* block) { std::free(block); }
#endif

size_t element_size(DType dtype) {
  switch (dtype) {
    case DType::FP32: return 4;
    case DType::FP16: return 2;
    case DType::INT8: return 1;
    case DType::INT32: return 4;
  }
  throw std::runtime_error("Unknown dtype");
}

bool checked_byte_size(const uint32_t* dims, size_t count, DType dtype, uint64_t* out) {
  uint64_t bytes = element_size(dtype);
  for (size_t i = 0; i < count; ++i) {
    if (dims[i] != 0 && bytes > UINT64_MAX / dims[i]) return false;
    bytes *= dims[i];
  }
  *out = bytes;
  return true;
}

TensorView::TensorView(void* data_, std::vector<uint32_t> shape_, DType dtype_, std::shared_ptr<void> owner_)
    : data(data_),
      shape(std::move(shape_)),
      size_bytes(0),
      dtype(dtype_),
      ndim(shape.size()),
      owns_data(false),
      owner(std::move(owner_)) {
  // Unchecked u64 product in extent order, starting from the element size.
  size_bytes = element_size(dtype);
  for (uint32_t extent : shape) size_bytes *= extent;
}

TensorView::TensorView(TensorView&& other) noexcept
    : data(other.data),
      shape(std::move(other.shape)),
      size_bytes(other.size_bytes),
      dtype(other.dtype),
      ndim(other.ndim),
      owns_data(other.owns_data),
      owner(std::move(other.owner)) {
  other.owns_data = false;
}

TensorView::~TensorView() {
  if (owns_data && data != nullptr) BufferCache::instance().release(data, aligned_size(size_bytes));
}

uint64_t TensorView::element_count() const {
  uint64_t count = 1;
  for (uint32_t extent : shape) count *= extent;
  return count;
}

TensorHandle allocate_tensor(std::vector<uint32_t> shape, DType dtype) {
  uint64_t bytes = 0;
  if (!checked_byte_size(shape.data(), shape.size(), dtype, &bytes)) throw std::bad_alloc();
  void* buffer = BufferCache::instance().take(aligned_size(bytes));
  if (buffer == nullptr) buffer = aligned_allocate(bytes);
  if (buffer == nullptr) throw std::bad_alloc();
  try {
    auto handle = std::make_shared<TensorView>(buffer, std::move(shape), dtype);
    handle->owns_data = true;
    return handle;
  } catch (...) {
    aligned_free(buffer);
    throw;
  }
}

}  // namespace qen
