// Shared by the fuzz targets: the input bytes as a model file, the check that
// an exception is the model's fault and not a leak's, require, which turns a
// broken property into a finding, and read_all.
//
// The bytes go into an anonymous memory file, which the loader opens by its
// /proc path like any file; nothing touches the disk.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "qen/model_format.h"

namespace qen::fuzzing {

class MemoryFile {
 public:
  MemoryFile() = default;
  ~MemoryFile() {
    if (fd_ >= 0) close(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  // Replaces the file by a new one holding these bytes. Only a read-only
  // descriptor stays open, since the loader refuses a file that some process
  // has open for writing.
  void assign(const uint8_t* data, size_t size) {
    const int writer = memfd_create("qen_fuzz_model", MFD_CLOEXEC);
    if (writer < 0) std::abort();
    write_at(writer, 0, data, size);
    const int reader = open(("/proc/self/fd/" + std::to_string(writer)).c_str(), O_RDONLY | O_CLOEXEC);
    close(writer);
    if (reader < 0) std::abort();
    if (fd_ >= 0) close(fd_);
    fd_ = reader;
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }

  // Rewrites the graph header's four counts to 2^32 - 1 in place, as another
  // process could while the file is mapped; a file without a whole graph
  // header at its graph offset is left alone. Returns whether it rewrote.
  bool rewrite_graph_counts(const uint8_t* data, size_t size) const {
    if (size < sizeof(FileHeader)) return false;
    const uint64_t graph = read_record<FileHeader>(data).graph_offset;
    const uint8_t counts[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    if (graph > size || size - graph < sizeof counts) return false;
    const int writer = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (writer < 0) std::abort();
    write_at(writer, graph, counts, sizeof counts);
    close(writer);
    return true;
  }

  const std::string& path() const { return path_; }

 private:
  static void write_at(int fd, uint64_t offset, const uint8_t* data, size_t size) {
    for (size_t done = 0; done < size;) {
      const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(offset + done));
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
  }

  int fd_ = -1;
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
