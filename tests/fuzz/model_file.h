// Shared by the fuzz targets: the input bytes as a model file, the check that
// an exception is the model's fault and not a leak's, require, which turns a
// broken property into a finding, and read_all.
//
// The bytes go into one anonymous memory file per process, which the loader
// opens by its /proc path like any file; nothing touches the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace qen::fuzzing {

class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("qen_fuzz_model", MFD_CLOEXEC)) {
    if (fd_ < 0) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  // Replaces the file's contents with these bytes.
  void assign(const uint8_t* data, size_t size) {
    if (ftruncate(fd_, 0) != 0) std::abort();
    for (size_t done = 0; done < size;) {
      const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
  }

  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

inline void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// Reads every byte of [at, at + count), so that AddressSanitizer sees a read
// outside the buffer or the mapping.
inline volatile uint8_t read_sink;
inline void read_all(const void* at, uint64_t count) {
  const auto* bytes = static_cast<const uint8_t*>(at);
  uint8_t acc = 0;
  for (uint64_t i = 0; i < count; ++i) acc ^= bytes[i];
  read_sink = acc;
}

// The input is always an existing regular file, so a failed platform step
// ("Failed to ...") other than the empty file's refused mapping means the
// process ran out of descriptors or mappings: an earlier input leaked one.
inline void expect_model_error(const std::exception& e, size_t file_size) {
  if (file_size > 0 && std::strncmp(e.what(), "Failed to", 9) == 0) {
    std::fprintf(stderr, "platform failure on a valid file: %s\n", e.what());
    std::abort();
  }
}

}  // namespace qen::fuzzing
